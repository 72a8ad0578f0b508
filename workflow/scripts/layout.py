"""How a chromosome's groups are laid out in batches, shared by the rules and their scripts. No
step holds more than a batch's worth of files open at once (a split writes one per group of its
batch, a gather reads one per group or batch), and no folder of the output holds more than
about five entries per group of a batch: each batch has its own folders of parts, logs and
benchmarks."""

from dataclasses import dataclass
from math import ceil


@dataclass(frozen=True)
class Batches:
    """Groups taken `size` at a time (config 'batch_groups'), numbered from 1 as the groups."""

    size: int

    def count(self, plan: dict) -> int:
        return max(1, ceil(len(plan["groups"]) / self.size))

    def of(self, group: int) -> int:
        """The batch of group number `group`."""
        return (group - 1) // self.size + 1

    def place(self, group: int) -> int:
        """The place of group number `group` in its batch, from 1."""
        return (group - 1) % self.size + 1

    def groups(self, plan: dict, batch: int) -> range:
        """The numbers of the batch's groups."""
        return range((batch - 1) * self.size + 1, min(batch * self.size, len(plan["groups"])) + 1)

    def samples(self, plan: dict, batch: int) -> list[str]:
        """The samples of the batch's groups, in group order (VCF order)."""
        return [name for k in self.groups(plan, batch) for name in plan["groups"][k - 1]]

    def cut(self, items: list) -> list[list]:
        return [items[k:k + self.size] for k in range(0, len(items), self.size)]
