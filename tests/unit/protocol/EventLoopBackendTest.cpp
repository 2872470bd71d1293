#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "protocol/EventLoop.h"

namespace brelvint {
namespace {

// Refuses io_uring_setup with EPERM from now on, as a container's seccomp
// profile does.
bool RefuseIoUring() {
  struct sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_io_uring_setup, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  struct sock_fprog program = {static_cast<unsigned short>(sizeof filter / sizeof filter[0]),
                               filter};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// The child's exit status when the filter could not be installed.
constexpr int kNoFilter = 2;

struct Case {
  const char* name;
  const char* variable;  // BRELVINT_IO_BACKEND, or null to leave it unset
  bool refuse_io_uring;
  std::string backend;  // what the loop says it runs
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

class EventLoopBackendTest : public ::testing::TestWithParam<Case> {};

// Each case runs in a child process: the variable and the seccomp filter
// must not reach the other tests.
TEST_P(EventLoopBackendTest, SaysWhichBackEndRunsAndWhy) {
  const Case& c = GetParam();
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(pipe_fds[0]);
    if (c.variable != nullptr) {
      ::setenv(EventLoop::kBackendVariable, c.variable, 1);
    } else {
      ::unsetenv(EventLoop::kBackendVariable);
    }
    if (c.refuse_io_uring && !RefuseIoUring()) ::_exit(kNoFilter);
    std::string backend = EventLoop().Backend();
    ssize_t written = ::write(pipe_fds[1], backend.data(), backend.size());
    ::_exit(written == static_cast<ssize_t>(backend.size()) ? 0 : 3);
  }
  ::close(pipe_fds[1]);
  std::string backend;
  char chunk[256];
  for (ssize_t n; (n = ::read(pipe_fds[0], chunk, sizeof chunk)) > 0;) backend.append(chunk, n);
  ::close(pipe_fds[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  if (WEXITSTATUS(status) == kNoFilter)
    GTEST_SKIP() << "this process may not install a seccomp filter";
  ASSERT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(backend, c.backend);
}

INSTANTIATE_TEST_SUITE_P(
    Choices, EventLoopBackendTest,
    ::testing::Values(Case{"EpollAsked", "epoll", false, "epoll (BRELVINT_IO_BACKEND=epoll)"},
                      Case{"IoUringRefused", nullptr, true,
                           "epoll (io_uring unavailable: io_uring_setup: Operation not permitted)"},
                      Case{
                          "IoUringAskedButRefused", "io_uring", true,
                          "epoll (io_uring unavailable: io_uring_setup: Operation not permitted)"}),
    [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace brelvint
