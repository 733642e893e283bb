"""Fixtures of the console tests: fresh switches on the engine --engine
names, stopped at the end. Every scenario runs on both engines unless it is
marked namespace_only with the reason; on the e500 engine those are left
out and counted, grouped by reason, at the end of the run."""

import pytest

from console_helpers import ENGINES, IMGTOOL, switches

HERE = __file__.rsplit("/", 1)[0]


@pytest.fixture
def engine(request):
    return request.config.getoption("--engine")


@pytest.fixture
def make_switch(tmp_path, engine):
    launcher = ENGINES[engine][1]
    for needed, how in ((launcher, f"the launcher of the {engine} engine"),
                        (IMGTOOL, "imgtool of the host preset")):
        if not needed.exists():
            pytest.fail(f"no {needed}: build {how} first")
    yield from switches(tmp_path, engine=engine)


def namespace_reason(item):
    """The reason a scenario runs on the namespace engine only, or None."""
    marker = item.get_closest_marker("namespace_only")
    if marker is None:
        return None
    reason = marker.args[0] if marker.args else marker.kwargs.get("reason")
    if not isinstance(reason, str) or not reason.strip():
        raise pytest.UsageError(f"{item.nodeid}: namespace_only needs its reason")
    return reason


def pytest_collection_modifyitems(config, items):
    both, only, kept, left_out = [], {}, [], []
    for item in items:
        if not str(item.fspath).startswith(HERE + "/"):
            kept.append(item)
            continue
        reason = namespace_reason(item)
        if reason is None and not {"make_switch", "engine"} & set(item.fixturenames):
            raise pytest.UsageError(f"{item.nodeid}: boots no switch of the engine "
                                    "(make_switch, engine); mark it namespace_only with the "
                                    "reason")
        if reason is None:
            both.append(item)
            kept.append(item)
        else:
            only.setdefault(reason, []).append(item)
            (left_out if config.getoption("--engine") == "e500" else kept).append(item)
    if left_out:
        config.hook.pytest_deselected(items=left_out)
    items[:] = kept
    config.console_scenarios = (both, only)


def pytest_terminal_summary(terminalreporter, config):
    both, only = getattr(config, "console_scenarios", ([], {}))
    if not both and not only:
        return
    write = terminalreporter.write_line
    write(f"console scenarios: {len(both)} on both engines, "
          f"{sum(len(v) for v in only.values())} namespace only")
    if config.getoption("--engine") != "e500":
        return
    for reason, items in sorted(only.items()):
        write(f"  {reason}: {len(items)}")
        for item in items:
            write(f"    {item.nodeid}")
