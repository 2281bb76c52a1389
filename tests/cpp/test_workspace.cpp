#include "common/staging.hpp"
#include "common/version_check.hpp"
#include "workspace.hpp"

#include <gtest/gtest.h>

#include <complex>
#include <memory>
#include <cstdint>
#include <vector>

using namespace radiredide;

TEST(WorkspacePool, ReuseWhileLargeEnoughAndGrowExactly) {
  WorkspacePool pool;
  const uint64_t before = workspace_live_bytes();
  double* a = pool.acquire<double>("x", 10);
  double* b = pool.acquire<double>("x", 5);
  EXPECT_EQ(a, b);
  EXPECT_EQ(pool.grows(), 1u);
  EXPECT_EQ(workspace_live_bytes() - before, 80u);
  pool.acquire<double>("x", 11);
  EXPECT_EQ(pool.grows(), 2u);
  EXPECT_EQ(pool.bytes(), 88u);
  EXPECT_EQ(workspace_live_bytes() - before, 88u);
  EXPECT_GE(workspace_peak_bytes(), before + 88u);
}

TEST(WorkspacePool, SlotSharedAcrossElementSizes) {
  WorkspacePool pool;
  int* a = pool.acquire<int>("shared", 100);  // 400 bytes
  auto* b = pool.acquire<std::complex<double>>("shared", 25);  // 400 bytes
  EXPECT_EQ(static_cast<void*>(a), static_cast<void*>(b));
  EXPECT_EQ(pool.grows(), 1u);
}

TEST(WorkspacePool, ZeroCountOnNewNameAllocatesNothing) {
  WorkspacePool pool;
  const uint64_t before = workspace_live_bytes();
  EXPECT_EQ(pool.acquire<double>("empty", 0), nullptr);
  EXPECT_EQ(pool.grows(), 0u);
  EXPECT_EQ(workspace_live_bytes(), before);
}

TEST(WorkspacePool, ReleaseKeepsConfigurationSlots) {
  WorkspacePool pool;
  double* cfg = pool.acquire_config<double>("cfg", 4);
  cfg[0] = 1.5;
  pool.acquire<double>("scratch", 100);
  const uint64_t before = workspace_live_bytes();
  pool.release();
  EXPECT_EQ(before - workspace_live_bytes(), 800u);
  EXPECT_EQ(pool.bytes(), 32u);
  EXPECT_EQ(pool.acquire_config<double>("cfg", 4), cfg);
  EXPECT_EQ(cfg[0], 1.5);
  pool.release_all();
  EXPECT_EQ(pool.bytes(), 0u);
  EXPECT_EQ(pool.grows(), 2u);
}

TEST(WorkspacePool, OverflowingRequestIsRefused) {
  WorkspacePool pool;
  EXPECT_THROW(pool.acquire<std::complex<double>>("big", UINT64_MAX / 8), std::runtime_error);
  EXPECT_EQ(pool.bytes(), 0u);
}

TEST(WorkspacePool, DestructionReturnsBytes) {
  const uint64_t before = workspace_live_bytes();
  {
    WorkspacePool pool;
    pool.acquire<double>("a", 1000);
    pool.acquire_config<int>("b", 10);
    EXPECT_EQ(workspace_live_bytes() - before, 8040u);
  }
  EXPECT_EQ(workspace_live_bytes(), before);
}

TEST(WorkspacePool, ReleaseAllPoolsReachesThreadPools) {
  thread_workspace().acquire<double>("t", 16);
  EXPECT_GE(thread_workspace().bytes(), 128u);
  release_all_pools_scratch();
  EXPECT_EQ(thread_workspace().bytes(), 0u);
}

TEST(Staging, AlignedInputIsViewedInPlace) {
  WorkspacePool pool;
  std::vector<double> v{1, 2, 3};
  auto view = stage_in(pool, "in", v.data(), 3);
  EXPECT_EQ(view.data(), v.data());
  EXPECT_EQ(pool.grows(), 0u);
}

TEST(Staging, MisalignedInputIsCopied) {
  WorkspacePool pool;
  alignas(16) unsigned char buf[8 * 5 + 8];
  double vals[4] = {1.0, -2.0, 3.5, 1e300};
  std::memcpy(buf + 4, vals, sizeof(vals));
  const double* mis = reinterpret_cast<const double*>(buf + 4);
  auto view = stage_in(pool, "in", mis, 2, 2);
  EXPECT_NE(static_cast<const void*>(view.data()), static_cast<const void*>(mis));
  EXPECT_EQ(view(0, 0), 1.0);
  EXPECT_EQ(view(1, 1), 1e300);
}

TEST(Staging, ComplexAt8ButNot16IsMisaligned) {
  WorkspacePool pool;
  alignas(16) double buf[6] = {1, 2, 3, 4, 0, 0};
  auto* mis = reinterpret_cast<const std::complex<double>*>(buf + 1);
  auto view = stage_in(pool, "c", mis, 2);
  EXPECT_NE(static_cast<const void*>(view.data()), static_cast<const void*>(mis));
  EXPECT_EQ(view(0).real(), 2.0);
  EXPECT_EQ(view(1).imag(), 5.0 - 5.0);  // buf[4]
}

TEST(Staging, MisalignedOutputArrivesOnlyAtCopyBack) {
  WorkspacePool pool;
  alignas(16) unsigned char buf[8 * 3 + 8] = {};
  double* mis = reinterpret_cast<double*>(buf + 4);
  auto out = stage_out(pool, "out", mis, 1, 3);
  out.target(0, 0) = 7.0;
  out.target(0, 2) = -1.0;
  double first;
  std::memcpy(&first, buf + 4, 8);
  EXPECT_EQ(first, 0.0);
  out.copy_back();
  std::memcpy(&first, buf + 4, 8);
  EXPECT_EQ(first, 7.0);
}

TEST(Staging, EmptyArraysMoveNothing) {
  WorkspacePool pool;
  const double* mis = reinterpret_cast<const double*>(reinterpret_cast<uintptr_t>(nullptr) + 4);
  auto view = stage_in(pool, "e", mis, 0);
  EXPECT_EQ(view.extent(0), 0u);
  auto out = stage_out(pool, "eo", const_cast<double*>(mis), 0, 3);
  out.copy_back();  // zero bytes, no memcpy on a null slot
  SUCCEED();
}

TEST(Staging, CopyInAlwaysCopies) {
  WorkspacePool pool;
  std::vector<int> v{1, 2, 3};
  auto view = copy_in(pool, "cfg", v.data(), 3);
  v[0] = 99;
  EXPECT_EQ(view(0), 1);
}

TEST(Staging, ExtentsBeyond32BitAreRefused) {
  WorkspacePool pool;
  double x = 0;
  EXPECT_THROW(stage_in(pool, "big", &x, int64_t(1) << 31), std::invalid_argument);
}

TEST(VersionCheck, AcceptsOnlyThisMinorRelease) {
  EXPECT_TRUE(interpreter_version_compatible("3.13.0 (main, Oct  1 2024)", "3.13"));
  EXPECT_TRUE(interpreter_version_compatible("3.13.2", "3.13"));
  EXPECT_TRUE(interpreter_version_compatible("3.13", "3.13"));
  EXPECT_FALSE(interpreter_version_compatible("3.130", "3.13"));
  EXPECT_FALSE(interpreter_version_compatible("3.12.4", "3.13"));
  EXPECT_FALSE(interpreter_version_compatible("3.1", "3.13"));
  EXPECT_FALSE(interpreter_version_compatible(nullptr, "3.13"));
}

TEST(DeviceStateRegistry, ExpiredEntriesAreDroppedAndLiveOnesReleased) {
  release_device_states();  // start empty
  int released = 0;
  auto keep = std::make_shared<bool>(true);
  register_device_state(keep, [&] { ++released; });
  for (int i = 0; i < 1000; ++i) {
    auto flag = std::make_shared<bool>(true);
    register_device_state(flag, [&] { released += 1000; });
  }  // every temporary flag has expired
  EXPECT_LE(device_state_entries(), 200u);  // pruned as it grew, not 1001 entries
  release_device_states();
  EXPECT_EQ(released, 1);  // only the live owner's action ran
  EXPECT_EQ(device_state_entries(), 0u);
}

TEST(DeviceStateRegistry, FlagClearedByOwnerSkipsRelease) {
  release_device_states();
  int released = 0;
  auto flag = std::make_shared<bool>(true);
  register_device_state(flag, [&] { ++released; });
  *flag = false;  // owner in destruction
  release_device_states();
  EXPECT_EQ(released, 0);
}
