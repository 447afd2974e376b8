#include "tests/unit/test_support.h"
