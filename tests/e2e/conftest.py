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
def runs(display, platform):
    runs = harness.Runs(display, platform)
    yield runs
    if runs.app:
        runs.app.kill()


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    """A failed check's picture goes to WHIRLET_E2E_ARTIFACTS, if set."""
    report = (yield).get_result()
    app, artifacts = item.funcargs.get("app"), os.environ.get("WHIRLET_E2E_ARTIFACTS")
    if report.when == "call" and report.failed and artifacts and app and app.alive():
        os.makedirs(artifacts, exist_ok=True)
        app.screenshot().save(os.path.join(artifacts, f"{item.name}.png"))


@pytest.fixture
def app(runs):
    """The shared run, left with no menu open."""
    app = runs.current()
    yield app
    try:
        if app.alive():
            app.dismiss_menus()
    except AssertionError:
        app.kill()  # the next check starts afresh
