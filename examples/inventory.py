"""A small program for vesh to record: a stock ledger with nested calls,
recursion, a generator, a handled exception and a worker thread."""

from __future__ import annotations

import threading
from dataclasses import dataclass, field


@dataclass
class Item:
    sku: str
    price: float
    quantity: int = 0


@dataclass
class Inventory:
    items: dict[str, Item] = field(default_factory=dict)

    def add(self, sku: str, price: float, quantity: int) -> Item:
        item = self.items.setdefault(sku, Item(sku, price))
        item.quantity += quantity
        return item

    def remove(self, sku: str, quantity: int) -> int:
        item = self.items[sku]
        if quantity > item.quantity:
            raise ValueError(f"only {item.quantity} of {sku} left")
        item.quantity -= quantity
        return item.quantity

    def value(self) -> float:
        return sum(item.price * item.quantity for item in self.items.values())

    def low_stock(self, limit: int):
        for item in self.items.values():
            if item.quantity < limit:
                yield item.sku


def restock_plan(levels: list[int], target: int) -> int:
    """How many units bring every level up to the target (recursively)."""
    if not levels:
        return 0
    missing = max(target - levels[0], 0)
    return missing + restock_plan(levels[1:], target)


def audit(inventory: Inventory, results: dict[str, float]) -> None:
    results["audited_value"] = inventory.value()


def main() -> dict[str, object]:
    inventory = Inventory()
    inventory.add("apple", 0.5, 40)
    inventory.add("pear", 0.75, 3)
    inventory.add("plum", 1.25, 12)
    remaining = inventory.remove("apple", 15)
    try:
        inventory.remove("pear", 5)
        refused = None
    except ValueError as error:
        refused = str(error)
    low = list(inventory.low_stock(limit=10))
    plan = restock_plan([item.quantity for item in inventory.items.values()], target=20)
    results: dict[str, float] = {}
    worker = threading.Thread(target=audit, args=(inventory, results), name="auditor")
    worker.start()
    worker.join()
    return {"remaining": remaining, "refused": refused, "low": low, "plan": plan, **results}


if __name__ == "__main__":
    print(main())
