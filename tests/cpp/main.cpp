#include <Kokkos_Core.hpp>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Listing the tests (CTest's discovery) runs none of them: Kokkos is not
  // started, so nothing but the test names reaches the output.
  if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
  Kokkos::initialize(argc, argv);
  const int rc = RUN_ALL_TESTS();
  Kokkos::finalize();
  return rc;
}
