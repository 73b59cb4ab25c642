"""_native_dump_msgpack against msgpack.packb on a mixed corpus.

    PYTHONPATH=python python bench/bench_encoder.py [--repeats 5]

Prints the time per call of each and the ratio native / packb per case
(below 1.0 means the native encoder is faster). The goal is a ratio of at
most 1.0 on every case.
"""

import argparse
import random
import timeit

import msgpack

from vesh import _vesh


def corpus():
    rng = random.Random(1234)
    words = ["alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta"]

    def small_dict():
        return {
            "id": rng.randrange(1_000_000),
            "name": rng.choice(words) * rng.randrange(1, 4),
            "score": rng.random() * 100,
            "active": rng.random() < 0.5,
        }

    def nested(depth):
        if depth == 0:
            return {"leaf": rng.randrange(100), "tag": rng.choice(words)}
        return {f"k{i}": nested(depth - 1) for i in range(3)} | {"n": depth, "f": rng.random()}

    return {
        "small dict": small_dict(),
        "10,000 ints": [rng.randrange(-(2**40), 2**40) for _ in range(10_000)],
        "nested dicts": nested(5),
        "long strings": ["x" * 50_000, "é" * 20_000, "y" * 100_000],
        "300 strings": ["".join(rng.choice(words) for _ in range(rng.randrange(30, 80))) for _ in range(300)],
        "1,000 small dicts": [small_dict() for _ in range(1_000)],
        "mixed list": [None, True, 1.5, "text", b"bytes", [1, 2, 3], {"a": 1}] * 200,
    }


def per_call(fn, value, repeats):
    timer = timeit.Timer(lambda: fn(value))
    number, _ = timer.autorange()
    return min(timer.repeat(repeat=repeats, number=number)) / number


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    native = _vesh._native_dump_msgpack
    packb = msgpack.packb
    print(f"{'case':<20} {'native':>12} {'packb':>12} {'ratio':>7}")
    worst = 0.0
    for name, value in corpus().items():
        assert native(value) == packb(value), name
        t_native = per_call(native, value, args.repeats)
        t_packb = per_call(packb, value, args.repeats)
        ratio = t_native / t_packb
        worst = max(worst, ratio)
        print(f"{name:<20} {t_native * 1e6:>10.2f}us {t_packb * 1e6:>10.2f}us {ratio:>7.2f}")
    print(f"worst ratio: {worst:.2f} ({'met' if worst <= 1.0 else 'NOT met'})")


if __name__ == "__main__":
    main()
