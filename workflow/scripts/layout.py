"""How a chromosome's groups are laid out in batches, shared by the rules and their scripts. No
step holds more than BATCH_GROUPS files open at once (a split writes one per group of its
batch, a gather reads one per group or batch), and no folder of the output holds more than
about BATCH_GROUPS x 5 entries: each batch has its own folders of parts, logs and
benchmarks."""

from math import ceil

BATCH_GROUPS = 200


def group_count(plan: dict) -> int:
    return len(plan["groups"])


def batches(plan: dict) -> int:
    return max(1, ceil(group_count(plan) / BATCH_GROUPS))


def batch_of(group: int) -> int:
    """The batch of group number `group` (both counted from 1)."""
    return (group - 1) // BATCH_GROUPS + 1


def batch_groups(plan: dict, batch: int) -> range:
    """The numbers of the batch's groups."""
    return range((batch - 1) * BATCH_GROUPS + 1,
                 min(batch * BATCH_GROUPS, group_count(plan)) + 1)


def batch_samples(plan: dict, batch: int) -> list[str]:
    """The samples of the batch's groups, in group order (VCF order)."""
    return [name for k in batch_groups(plan, batch) for name in plan["groups"][k - 1]]


def in_batches(items: list, size: int = BATCH_GROUPS) -> list[list]:
    return [items[k:k + size] for k in range(0, len(items), size)]
