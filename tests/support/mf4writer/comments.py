"""XML comments of the header block (recording metadata) and of the file
history blocks (the tool that wrote the file).

Header comment: <HDcomment><TX>text</TX><common_properties> with "e"
elements (one property: attributes name, type, unit, description, ro;
the text is the value) and "tree" elements (attribute name) that group
properties and may nest. A reader keys a property by the root element and
the names of its enclosing trees and its own, joined with ".":
HDcomment.Device.serial.
"""
from __future__ import annotations

from dataclasses import dataclass
from typing import Dict, Optional, Union
from xml.sax.saxutils import escape, quoteattr

LOGGER_TOOL_ID = "QX"


@dataclass(frozen=True)
class Prop:
    """One property ("e" element). `ro` None leaves the attribute out."""
    value: str
    type: str = "string"
    unit: Optional[str] = None
    description: Optional[str] = None
    ro: Optional[bool] = None


Properties = Dict[str, Union[Prop, "Properties"]]


def _attributes(pairs) -> str:
    return "".join(" %s=%s" % (k, quoteattr(v)) for k, v in pairs
                   if v is not None)


def _render(properties: Properties) -> str:
    parts = []
    for name, item in properties.items():
        if isinstance(item, Prop):
            ro = None if item.ro is None else ("true" if item.ro else "false")
            attrs = _attributes((("name", name), ("type", item.type),
                                 ("unit", item.unit),
                                 ("description", item.description),
                                 ("ro", ro)))
            parts.append("<e%s>%s</e>" % (attrs, escape(item.value)))
        else:
            parts.append("<tree%s>%s</tree>" % (_attributes(
                (("name", name),)), _render(item)))
    return "".join(parts)


def header_comment(properties: Properties, text: str = "",
                   root: str = "HDcomment") -> str:
    return ('<%s xmlns="http://www.asam.net/mdf/v4"><TX>%s</TX>'
            '<common_properties>%s</common_properties></%s>'
            % (root, escape(text), _render(properties), root))


def expected_metadata(properties: Properties,
                      root: str = "HDcomment") -> Dict[str, Dict[str, object]]:
    """What get_metadata() returns for header_comment(properties): every
    property under its dotted key; the value loses its leading blanks."""
    result: Dict[str, Dict[str, object]] = {}

    def walk(items: Properties, path: str) -> None:
        for name, item in items.items():
            key = path + "." + name
            if isinstance(item, Prop):
                result.setdefault(key, {
                    "name": name, "description": item.description or "",
                    "read_only": item.ro is True, "unit": item.unit or "",
                    "value_raw": item.value.lstrip(" "),
                    "value_type": item.type})
            else:
                walk(item, key)

    walk(properties, root)
    return result


def history_comment(tool_id: Optional[str] = LOGGER_TOOL_ID,
                    text: str = "created") -> str:
    """A file history comment; `tool_id` None leaves the tool element out."""
    tool = "" if tool_id is None else "<tool_id>%s</tool_id>" % escape(tool_id)
    return ('<FHcomment xmlns="http://www.asam.net/mdf/v4"><TX>%s</TX>%s'
            '<tool_vendor>mf4writer</tool_vendor>'
            '<tool_version>1.0</tool_version></FHcomment>'
            % (escape(text), tool))
