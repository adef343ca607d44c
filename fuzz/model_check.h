// Moved: until tests/integration/fault_alloc_test.cpp includes "support/model_check.h".
#include "support/model_check.h"
