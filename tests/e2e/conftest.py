"""Fixtures: the platform, the display, and a program run that the checks share in order."""

import os
from types import SimpleNamespace

import pytest

pytest.register_assert_rewrite("harness")  # failed asserts there show their values
import harness  # noqa: E402


def pytest_addoption(parser):
    parser.addoption("--program", required=True, help="the program to check")
    parser.addoption("--seed", type=int, default=20261207, help="the soak's random seed")


@pytest.fixture(scope="module")
def platform(request):
    """The native one, unless the test file has a Platform of its own."""
    kind = getattr(request.module, "Platform", harness.Native)
    return kind(request.config.getoption("--program"))


@pytest.fixture(scope="module")
def display(platform):
    display = harness.Display()
    try:
        platform.prepare(display)
        yield display
    finally:
        platform.finish()
        display.close()


@pytest.fixture(scope="module")
def runs(display):  # after the display: the run ends before the display goes
    """The run the checks share."""
    runs = SimpleNamespace(app=None)
    yield runs
    if runs.app:
        runs.app.kill()


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item):
    """A failed check's picture goes to WHIRLET_E2E_ARTIFACTS, if set."""
    report = (yield).get_result()
    app, artifacts = item.funcargs.get("app"), os.environ.get("WHIRLET_E2E_ARTIFACTS")
    if report.when == "call" and report.failed and artifacts and app and app.alive():
        os.makedirs(artifacts, exist_ok=True)
        app.screenshot().save(os.path.join(artifacts, f"{item.name}.png"))


@pytest.fixture
def app(runs, display, platform):
    """The shared run, started when a check needs it and again if a check ended it; left with
    no menu open."""
    if runs.app is None or not runs.app.alive():
        runs.app = harness.App(display, platform)
        try:
            runs.app.wait_window()
        except AssertionError as failure:  # no need to wait that long for every check left
            runs.app.kill()
            pytest.exit(f"the program did not start: {failure}", returncode=1)
    app = runs.app
    yield app
    try:
        if app.alive():
            app.dismiss_menus()
    except AssertionError:
        app.kill()  # the next check starts afresh
