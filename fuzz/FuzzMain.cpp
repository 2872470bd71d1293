// libFuzzer driver: compiled once per target with BRELVINT_FUZZ_TARGET set
// to the target's function.
#include "FuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  brelvint::BRELVINT_FUZZ_TARGET(data, size);
  return 0;
}
