"""The messages a file written by the MF4 writer (support.mf4writer)
yields once it is finalized and sorted, per data group of the result.

Finalizing keeps the sorted data groups first, in their order, and then
gives every channel group of each unsorted data group a data group of its
own, in the order of the channel groups, whose records keep the order
they had in the unsorted data block.
"""
from typing import List


def finalized_by_group(log, frames: bool = False) -> List[List[dict]]:
    """Per data group of the finalized file, the messages of its records
    in file order (the writer's ground truth regrouped); with `frames`
    the decoded frames (truth.group_frames) instead."""
    start = log.start_seconds

    def of(member):
        return member.frames(start, log.start_time_ns) if frames \
            else member.messages(start)

    kept, split = [], []
    for group in log.data_groups:
        if group.sorted:
            kept.append(group.frames(start, log.start_time_ns) if frames
                        else group.messages(start))
            continue
        # group.sequence lays the records of its channel groups, numbered
        # one group after the other, out in file order.
        first = 0
        for member in group.groups:
            messages = of(member)
            end = first + len(messages)
            split.append([messages[i - first]
                          for i in group.sequence.tolist()
                          if first <= i < end])
            first = end
    return kept + split
