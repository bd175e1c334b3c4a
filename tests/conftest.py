import os

from hypothesis import HealthCheck, settings

# The default keeps the suite fast; HYPOTHESIS_PROFILE=long runs many more cases
# (for sanitizer builds or before a release).
settings.register_profile(
    "default", max_examples=250, deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
settings.register_profile("long", parent=settings.get_profile("default"), max_examples=3000)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))
