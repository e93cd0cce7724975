#include "mdf/cMdfMetaData.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Expected {
  std::string key;
  std::string name, description, unit, valueType, valueRaw;
  bool readOnly;
};

struct ParseCase {
  const char* what;
  std::string xml;
  std::vector<Expected> expected;  // in document order
};

std::string document(const std::string& properties) {
  return "<HDcomment xmlns=\"http://www.asam.net/mdf/v4\"><TX>notes</TX>"
         "<common_properties>" +
         properties + "</common_properties></HDcomment>";
}

class MetaDataParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(MetaDataParse, GivesTheProperties) {
  const ParseCase& c = GetParam();
  cMdfMetaDataMap map = cMdfMetaData_parse(c.xml.data(), c.xml.size());
  ASSERT_EQ(map.size(), c.expected.size()) << c.what;
  for (size_t i = 0; i < map.size(); ++i) {
    const Expected& e = c.expected[i];
    const auto& [key, p] = map[i];
    EXPECT_EQ(key, e.key) << c.what;
    EXPECT_EQ(p.name, e.name) << c.what;
    EXPECT_EQ(p.description, e.description) << c.what;
    EXPECT_EQ(p.unit, e.unit) << c.what;
    EXPECT_EQ(p.valueType, e.valueType) << c.what;
    EXPECT_EQ(p.valueRaw, e.valueRaw) << c.what;
    EXPECT_EQ(p.readOnly, e.readOnly) << c.what;
  }
}

const ParseCase kParseCases[] = {
    {"one property: leading blanks go, the trailing one stays",
     document("<e name=\"a\" type=\"string\">  42 </e>"),
     {{"HDcomment.a", "a", "", "", "string", "42 ", false}}},
    {"all attributes",
     document("<e name=\"rate\" type=\"integer\" unit=\"kbit/s\" "
              "description=\"bus rate\" ro=\"true\">500</e>"),
     {{"HDcomment.rate", "rate", "bus rate", "kbit/s", "integer", "500",
       true}}},
    {"ro is true only for the exact text \"true\"",
     document("<e name=\"x\" ro=\"false\">1</e><e name=\"y\" ro=\"TRUE\">2</e>"
              "<e name=\"z\" ro=\"true\">3</e>"),
     {{"HDcomment.x", "x", "", "", "", "1", false},
      {"HDcomment.y", "y", "", "", "", "2", false},
      {"HDcomment.z", "z", "", "", "", "3", true}}},
    {"nested trees name the key",
     document("<tree name=\"t1\"><tree name=\"t2\"><e name=\"x\">v</e></tree>"
              "<e name=\"y\">w</e></tree>"),
     {{"HDcomment.t1.t2.x", "x", "", "", "", "v", false},
      {"HDcomment.t1.y", "y", "", "", "", "w", false}}},
    {"only 0x20 is stripped, and only at the start",
     document("<e name=\"x\">\n  a\tb </e>"),
     {{"HDcomment.x", "x", "", "", "", "\n  a\tb ", false}}},
    {"character data split by references is joined",
     document("<e name=\"x\"> &lt;a&amp;b&gt;</e>"),
     {{"HDcomment.x", "x", "", "", "", "<a&b>", false}}},
    {"the first of two equal keys wins",
     document("<e name=\"x\">first</e><e name=\"x\">second</e>"),
     {{"HDcomment.x", "x", "", "", "", "first", false}}},
    {"other elements inside common_properties are no properties",
     document("<other name=\"o\">1</other><e name=\"x\">2</e>"),
     {{"HDcomment.x", "x", "", "", "", "2", false}}},
    {"text after a nested element's end tag is not collected",
     document("<e name=\"x\">a<b/>c</e>"),
     {{"HDcomment.x", "x", "", "", "", "a", false}}},
    {"an unnamed e or tree is skipped with its content",
     document("<e>lost</e><tree><e name=\"in\">lost</e></tree>"
              "<e name=\"after\">kept</e>"),
     {{"HDcomment.after", "after", "", "", "", "kept", false}}},
    {"properties outside common_properties are ignored",
     "<HDcomment><e name=\"x\">1</e><other><e name=\"y\">2</e></other>"
     "</HDcomment>",
     {}},
    {"a document cut before its last end tag gives nothing",
     "<HDcomment><common_properties><e name=\"x\">1</e>"
     "</common_properties>",
     {}},
    {"a document with an error after complete properties gives nothing",
     document("<e name=\"x\">1</e><e name=\"y\">2</f>"),
     {}},
    {"an empty text gives nothing", "", {}},
    // 200 keys of 4,000 bytes from a text of 8,000: nothing, not 800 kB.
    {"keys far longer than the text give nothing",
     document("<tree name=\"" + std::string(4000, 't') + "\">" +
              [] {
                std::string properties;
                for (int i = 0; i < 200; ++i)
                  properties += "<e name=\"k" + std::to_string(i) + "\"/>";
                return properties;
              }() +
              "</tree>"),
     {}},
};

INSTANTIATE_TEST_SUITE_P(Cases, MetaDataParse,
                         ::testing::ValuesIn(kParseCases));

// A large comment as loggers write it stays well inside the bound on keys.
TEST(MetaData, ManyPropertiesInNestedTrees) {
  const std::string tree(30, 'd');
  std::string properties;
  for (int i = 0; i < 2000; ++i)
    properties += "<e name=\"p" + std::to_string(i) + "\">1</e>";
  const std::string xml = document("<tree name=\"" + tree + "\"><tree name=\"" +
                                   tree + "\"><tree name=\"" + tree + "\">" +
                                   properties + "</tree></tree></tree>");
  cMdfMetaDataMap map = cMdfMetaData_parse(xml.data(), xml.size());
  ASSERT_EQ(map.size(), 2000u);
  EXPECT_EQ(map[1999].first,
            "HDcomment." + tree + "." + tree + "." + tree + ".p1999");
}

TEST(MetaData, NullTextOrFileGivesNothing) {
  EXPECT_TRUE(cMdfMetaData_parse(nullptr, 10).empty());
  EXPECT_TRUE(cMdf_getMetaData(nullptr).empty());
}

TEST(MetaData, InitDropClone) {
  cMdfMetaData a{"n", "d", "u", "t", "v", true};
  cMdfMetaData b;
  ASSERT_EQ(cMdfMetaData_clone(cMdfMetaData_init(&b), &a), &b);
  EXPECT_EQ(b.name, "n");
  EXPECT_EQ(b.valueRaw, "v");
  EXPECT_TRUE(b.readOnly);
  cMdfMetaData_drop(&b);
  EXPECT_TRUE(b.name.empty() && b.description.empty() && b.unit.empty() &&
              b.valueType.empty() && b.valueRaw.empty());
  EXPECT_TRUE(b.readOnly);  // drop leaves the flag
  EXPECT_FALSE(cMdfMetaData_init(&b)->readOnly);
  EXPECT_EQ(cMdfMetaData_clone(nullptr, &a), nullptr);
  cMdfMetaData_drop(nullptr);
}

}  // namespace
