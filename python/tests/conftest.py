import os

from hypothesis import HealthCheck, settings

# CI runs the property tests on a fixed sequence of examples, so that a run is
# reproducible and a failure there can be replayed locally with CI=1.
settings.register_profile(
    "ci",
    derandomize=True,
    max_examples=25,
    deadline=None,
    database=None,
    print_blob=True,
    suppress_health_check=[HealthCheck.too_slow],
)
# Under an emulator (TOLVANE_EMULATED) the same, on fewer examples.
settings.register_profile("emulated", parent=settings.get_profile("ci"), max_examples=6)
settings.register_profile(
    "dev",
    max_examples=60,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.load_profile("emulated" if os.environ.get("TOLVANE_EMULATED")
                      else "ci" if os.environ.get("CI") else "dev")
