// The public headers seen from C give the same records as from C++.
#include <gtest/gtest.h>

#include "mrvcomp.h"
#include "mrvfile.h"
#include "mrvval.h"

extern "C" size_t c_layout(int which);

TEST(PublicHeaders, CompileAsCWithTheSameLayout) {
  const size_t cxx[] = {sizeof(FAQ),
                        sizeof(VarTable),
                        sizeof(SystemContext),
                        offsetof(SystemContext, localVars),
                        offsetof(SystemContext, msgBuf2),
                        sizeof(CompileRequest),
                        offsetof(CompileRequest, sourceSize)};
  for (int i = 0; i < static_cast<int>(std::size(cxx)); ++i) EXPECT_EQ(c_layout(i), cxx[i]) << i;
}
