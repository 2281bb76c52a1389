// The variant dispatch: which variant runs for each tier, and the tier this
// processor is detected as (RADIREDIDE_EXPECT_TIER, set by the emulated legs,
// names the tier the emulated model must be taken for).
#include "common/variants.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

using namespace radiredide;

namespace {

const char* tier_name(Isa i) {
  switch (i) {
    case Isa::avx512vl: return "avx512vl";
    case Isa::avx512: return "avx512";
    case Isa::avx2: return "avx2";
    default: return "generic";
  }
}

struct WhichTier {
  template <Isa I>
  RR_INLINE Isa operator()() const {
    return I;
  }
};

}  // namespace

TEST(Variants, DetectedTier) {
  const Isa d = detected_isa();
  EXPECT_TRUE(runs(Isa::generic));
  EXPECT_TRUE(runs(d));
  if (const char* want = std::getenv("RADIREDIDE_EXPECT_TIER")) {
    EXPECT_EQ(std::string(want), tier_name(d));
  }
#if !RR_X86
  EXPECT_EQ(d, Isa::generic);
#endif
}

// The widest variant a kernel has at or below the tier asked for; off x86-64
// always the generic one.
TEST(Variants, RunPicksTheWidestVariantAtOrBelowTheTier) {
  struct Case {
    Isa asked, three, two;  // run<avx512vl, avx2, generic>, run<avx512, generic>
  };
  const Case cases[] = {
      {Isa::generic, Isa::generic, Isa::generic},
      {Isa::avx2, Isa::avx2, Isa::generic},
      {Isa::avx512, Isa::avx2, Isa::avx512},
      {Isa::avx512vl, Isa::avx512vl, Isa::avx512},
  };
  for (const Case& c : cases) {
    const Isa three = variants::run<Isa::avx512vl, Isa::avx2, Isa::generic>(c.asked, WhichTier{});
    const Isa two = variants::run<Isa::avx512, Isa::generic>(c.asked, WhichTier{});
    const Isa flat = variants::run_flat<Isa::avx512vl, Isa::avx2, Isa::generic>(c.asked, WhichTier{});
    EXPECT_EQ(three, RR_X86 ? c.three : Isa::generic) << tier_name(c.asked);
    EXPECT_EQ(two, RR_X86 ? c.two : Isa::generic) << tier_name(c.asked);
    EXPECT_EQ(flat, three) << tier_name(c.asked);
  }
}
