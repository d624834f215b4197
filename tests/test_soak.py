"""A short soak run as part of the suite (`make soak` runs the long one)."""

import soak


def test_repeated_calls_on_every_path_keep_no_objects_or_memory() -> None:
    lines: list[str] = []
    growth = soak.soak(rounds=400, warmup=150, report=lines.append)
    print("\n".join(lines))
    # soak() raises beyond its bounds; the figures are kept in the output.
    assert growth.objects <= soak.Bounds.for_rounds(400).objects
