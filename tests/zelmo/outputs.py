"""Generated tool outputs: realistic floods, and repetitive output that is legitimate."""
import random
import uuid
from datetime import datetime, timedelta

PATHS = ["/api/health", "/api/v1/items?page=2", "/static/app.js"]


def access_log(lines=400, seed=1):
    rng = random.Random(seed)
    t = datetime(2026, 12, 8, 10, 0, 0)
    out = []
    for _ in range(lines):
        t += timedelta(milliseconds=rng.randrange(1, 900))
        ip = ".".join(str(rng.randrange(1, 255)) for _ in range(4))
        out.append(f'{ip} - - [{t:%d/%b/%Y:%H:%M:%S} +0000] "GET {rng.choice(PATHS)} HTTP/1.1" '
                   f'200 {rng.randrange(200, 9000)} "-" "kube-probe/1.29"')
    return "\n".join(out)


def retry_loop(lines=300, seed=2):
    rng = random.Random(seed)
    t = datetime(2026, 12, 8, 10, 0, 0)
    out = []
    for attempt in range(1, lines + 1):
        t += timedelta(milliseconds=rng.randrange(100, 3000))
        out.append(f"{t.isoformat(timespec='milliseconds')}Z WARN [worker-{rng.randrange(8)}] "
                   f"request {uuid.UUID(int=rng.getrandbits(128))} to db-{rng.getrandbits(32):08x} "
                   f"failed: connection timed out after {rng.randrange(500, 5000)} ms "
                   f"(attempt {attempt}/{lines}), retrying")
    return "\n".join(out)


def repeated_trace(times=40, seed=3):
    rng = random.Random(seed)
    out = []
    for _ in range(times):
        out.append(f"ERROR 2026-12-08 10:{rng.randrange(60):02d}:{rng.randrange(60):02d},"
                   f"{rng.randrange(1000):03d} Unhandled exception in thread 0x{rng.getrandbits(48):x}")
        out.append("Traceback (most recent call last):")
        out.append(f'  File "/srv/app/handlers.py", line {rng.choice([88, 91])}, in handle')
        out.append("    result = self.dispatch(request)")
        out.append('  File "/srv/app/dispatch.py", line 42, in dispatch')
        out.append("    return route.call(payload)")
        out.append("ValueError: payload field 'amount' must be positive")
    return "\n".join(out)


FIRST = ["Ana", "Bruno", "Carla", "Diego", "Elena", "Fabio", "Gina", "Hugo", "Ines", "Joao",
         "Karin", "Luis", "Marta", "Nuno", "Olga", "Paulo", "Rita", "Sergio", "Tania", "Victor"]
LAST = ["Silva", "Santos", "Costa", "Pereira", "Oliveira", "Martins", "Rocha", "Almeida",
        "Ferreira", "Gomes", "Ribeiro", "Carvalho", "Lopes", "Moreira", "Teixeira", "Mendes"]
CITIES = ["Lisboa", "Porto", "Braga", "Faro", "Coimbra", "Aveiro", "Evora", "Leiria", "Viseu"]


def csv_table(rows=300, seed=4):
    rng = random.Random(seed)
    out = ["id,name,city,signup,orders,total_eur"]
    for i in range(1, rows + 1):
        out.append(f"{i},{rng.choice(FIRST)} {rng.choice(LAST)},{rng.choice(CITIES)},"
                   f"2026-{rng.randrange(1, 13):02d}-{rng.randrange(1, 29):02d},"
                   f"{rng.randrange(0, 40)},{rng.randrange(0, 500000) / 100:.2f}")
    return "\n".join(out)


def metrics_table(rows=300, seed=5):
    """A tab-separated table of numbers only: its rows differ only in numbers."""
    rng = random.Random(seed)
    out = ["minute\tcpu_pct\tmem_mb\trps\tp99_ms"]
    for i in range(rows):
        out.append(f"{i}\t{rng.uniform(5, 95):.1f}\t{rng.randrange(300, 4000)}\t"
                   f"{rng.randrange(10, 900)}\t{rng.uniform(20, 800):.1f}")
    return "\n".join(out)


SOURCE = '''"""Order handling for the shop service."""

from dataclasses import dataclass
from decimal import Decimal


@dataclass
class Line:
    sku: str
    quantity: int
    unit_price: Decimal

    def total(self) -> Decimal:
        return self.unit_price * self.quantity


@dataclass
class Order:
    id: str
    customer: str
    lines: list[Line]

    def subtotal(self) -> Decimal:
        return sum((line.total() for line in self.lines), Decimal(0))

    def tax(self, rate: Decimal) -> Decimal:
        return (self.subtotal() * rate).quantize(Decimal("0.01"))

    def add(self, sku: str, quantity: int, unit_price: Decimal) -> None:
        if quantity <= 0:
            raise ValueError(f"quantity must be positive, got {quantity}")
        for line in self.lines:
            if line.sku == sku:
                line.quantity += quantity
                return
        self.lines.append(Line(sku, quantity, unit_price))

    def remove(self, sku: str) -> None:
        self.lines = [line for line in self.lines if line.sku != sku]


def parse_order(raw: dict) -> Order:
    lines = [Line(str(item["sku"]), int(item["qty"]), Decimal(str(item["price"])))
             for item in raw.get("items", [])]
    return Order(str(raw["id"]), str(raw["customer"]), lines)


def apply_discount(order: Order, percent: int) -> Decimal:
    if not 0 <= percent <= 100:
        raise ValueError(f"percent must be within 0..100, got {percent}")
    return (order.subtotal() * (100 - percent) / 100).quantize(Decimal("0.01"))


def summarise(orders: list[Order]) -> dict[str, Decimal]:
    per_customer: dict[str, Decimal] = {}
    for order in orders:
        per_customer[order.customer] = per_customer.get(order.customer, Decimal(0)) + order.subtotal()
    return per_customer
'''


def source_code():
    return SOURCE


FLOODS = {"access log": access_log, "retry loop": retry_loop, "repeated stack trace": repeated_trace}
LEGIT = {"CSV table": csv_table, "metrics table": metrics_table, "source code": source_code}
