#include "tests/common/store_environment.h"

// Every unit test that reaches the settings store uses a private file.
static ::testing::Environment* const kStoreEnvironment =
    ::testing::AddGlobalTestEnvironment(new kova::test::TStoreEnvironment);
