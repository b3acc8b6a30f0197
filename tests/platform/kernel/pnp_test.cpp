#include "tests/platform/kernel/pnp_fixture.h"
