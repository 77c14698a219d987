"""Fixtures: the platform, the display, and a program run that the checks share in order."""

import os

import pytest

pytest.register_assert_rewrite("checks", "harness")  # failed asserts there show their values
import harness  # noqa: E402


def pytest_addoption(parser):
    parser.addoption("--program", required=True, help="the program to check")
    parser.addoption("--seed", type=int, default=20261207, help="the soak's random seed")


@pytest.fixture(scope="module")
def platform(request):
    return harness.Native(request.config.getoption("--program"))


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
def runs(display, platform):
    runs = harness.Runs(display, platform)
    yield runs
    if runs.app:
        runs.app.kill()


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    report = (yield).get_result()
    if report.when == "call":
        item.call_failed = report.failed


@pytest.fixture
def app(request, runs):
    """The shared run, left with no menu open. A failed check's picture goes to
    WHIRLET_E2E_ARTIFACTS, if set."""
    app = runs.current()
    yield app
    if not app.alive():
        return
    artifacts = os.environ.get("WHIRLET_E2E_ARTIFACTS")
    if artifacts and getattr(request.node, "call_failed", False):
        os.makedirs(artifacts, exist_ok=True)
        app.screenshot().save(os.path.join(artifacts, f"{request.node.name}.png"))
    try:
        app.dismiss_menus()
    except AssertionError:
        app.kill()  # the next check starts afresh
