"""Options and markers shared by the test tiers run by pytest."""


def pytest_addoption(parser):
    parser.addoption("--engine", choices=("namespace", "e500"), default="namespace",
                     help="the engine the console scenarios boot their switches on: the "
                          "namespace sandbox (default) or the emulated PowerPC board")


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "namespace_only(reason): the scenario needs what only the namespace "
                   "engine has (flash-request power cuts, scripted answers of fake programs, "
                   "a board changed while it runs, ...); the reason is required")
