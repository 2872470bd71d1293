#include "protocol/UringReactor.h"

#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/post.hpp>
#include <cerrno>
#include <cstring>

namespace brelvint {

namespace {

constexpr int kBufferGroup = 0;
// The completions that carry no operation: cancels, and the start-up check.
constexpr uint64_t kNoOperation = 0;
constexpr uint64_t kProbeCancel = 1;

// One receive on `fd` into a buffer the kernel picks from the shared ring.
void PrepareReceive(io_uring_sqe* entry, int fd) {
  io_uring_prep_recv(entry, fd, nullptr, UringReactor::kBufferBytes, 0);
  entry->flags |= IOSQE_BUFFER_SELECT;
  entry->buf_group = kBufferGroup;
}

std::string Failure(const char* step, int error) {
  return std::string(step) + ": " + std::strerror(error);
}

// User pointers use the low 48 bits; the generation takes the rest.
constexpr int kGenerationShift = 48;
constexpr uint64_t kPointerMask = (uint64_t{1} << kGenerationShift) - 1;

}  // namespace

// One operation in the kernel's hands, linked into the reactor's list so
// that whatever is still out at the end can be freed.
struct UringReactor::Operation {
  OperationKind kind;
  // Moves on each time the record is reused, and goes into the tag the
  // kernel knows it by: a cancel aimed at a finished operation then finds
  // nothing, rather than the next operation that reused its record.
  uint16_t generation = 0;
  int fd;
  std::shared_ptr<UringClient> client;
  Operation* previous = nullptr;
  Operation* next = nullptr;
};

UringReactor::UringReactor(asio::io_context& context) : ring_watch_(context) {}

UringReactor::~UringReactor() {
  if (ring_watch_.is_open()) ring_watch_.release();  // the ring's own descriptor
  if (ring_ready_) io_uring_queue_exit(&ring_);
  if (buffers_ring_ != nullptr) ::munmap(buffers_ring_, buffers_ring_bytes_);
  for (Operation* list : {operations_, spare_}) {
    while (list != nullptr) {
      Operation* operation = list;
      list = operation->next;
      delete operation;
    }
  }
}

std::unique_ptr<UringReactor> UringReactor::Create(asio::io_context& context, std::string* why) {
  std::unique_ptr<UringReactor> reactor(new UringReactor(context));
  if (!reactor->Open(why) || !reactor->ReceivesWork(why)) return nullptr;
  reactor->WatchCompletions();
  return reactor;
}

bool UringReactor::Open(std::string* why) {
  io_uring_params params{};
  // One thread submits; the kernel then takes the simpler paths.
  params.flags = IORING_SETUP_SUBMIT_ALL | IORING_SETUP_SINGLE_ISSUER | IORING_SETUP_COOP_TASKRUN |
                 IORING_SETUP_TASKRUN_FLAG;
  int rc = io_uring_queue_init_params(kQueueEntries, &ring_, &params);
  if (rc == -EINVAL) {  // a kernel before 6.0 knows no such flags
    params = {};
    rc = io_uring_queue_init_params(kQueueEntries, &ring_, &params);
  }
  if (rc < 0) {
    *why = Failure("io_uring_setup", -rc);
    return false;
  }
  ring_ready_ = true;
  buffers_ring_bytes_ = kBufferCount * sizeof(io_uring_buf);
  void* memory = ::mmap(nullptr, buffers_ring_bytes_, PROT_READ | PROT_WRITE,
                        MAP_ANONYMOUS | MAP_PRIVATE, -1, 0);
  if (memory == MAP_FAILED) {
    *why = Failure("mmap", errno);
    return false;
  }
  buffers_ring_ = static_cast<io_uring_buf_ring*>(memory);
  io_uring_buf_reg registration{};
  registration.ring_addr = reinterpret_cast<uint64_t>(memory);
  registration.ring_entries = kBufferCount;
  registration.bgid = kBufferGroup;
  rc = io_uring_register_buf_ring(&ring_, &registration, 0);
  if (rc < 0) {
    *why = Failure("io_uring_register_buf_ring", -rc);
    return false;
  }
  buffers_.reset(new char[static_cast<size_t>(kBufferCount) * kBufferBytes]);
  io_uring_buf_ring_init(buffers_ring_);
  for (unsigned id = 0; id < kBufferCount; ++id) {
    io_uring_buf_ring_add(buffers_ring_, buffers_.get() + static_cast<size_t>(id) * kBufferBytes,
                          kBufferBytes, static_cast<unsigned short>(id),
                          io_uring_buf_ring_mask(kBufferCount), static_cast<int>(id));
  }
  io_uring_buf_ring_advance(buffers_ring_, kBufferCount);
  boost::system::error_code ec;
  ring_watch_.assign(ring_.ring_fd, ec);
  if (ec) {
    *why = "cannot watch the ring: " + ec.message();
    return false;
  }
  return true;
}

bool UringReactor::ReceivesWork(std::string* why) {
  // A kernel may set the ring up and still refuse a receive into the shared
  // buffers (before 5.19) or cancelling by descriptor: one byte over a
  // socket pair tells, before any connection depends on it.
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    *why = Failure("socketpair", errno);
    return false;
  }
  int result = ::write(pair[1], "x", 1) == 1 ? ProbeReceive(pair[0], true) : -errno;
  bool works = result == 1;
  if (works) {
    // Nothing is left to read: this one waits, and only the cancel ends it.
    result = ProbeReceive(pair[0], false);
    works = result == -ECANCELED;
  }
  ::close(pair[0]);
  ::close(pair[1]);
  if (!works) *why = Failure("receive from shared buffers", result < 0 ? -result : EINVAL);
  return works;
}

int UringReactor::ProbeReceive(int fd, bool expect_bytes) {
  io_uring_sqe* receive = io_uring_get_sqe(&ring_);
  PrepareReceive(receive, fd);
  // Carries no operation: a completion that comes after the wait below
  // gave up is then ignored by Complete.
  io_uring_sqe_set_data64(receive, kNoOperation);
  if (!expect_bytes) {
    io_uring_sqe* cancel = io_uring_get_sqe(&ring_);
    io_uring_prep_cancel_fd(cancel, fd, IORING_ASYNC_CANCEL_ALL);
    io_uring_sqe_set_data64(cancel, kProbeCancel);
  }
  int rc = io_uring_submit(&ring_);
  if (rc < 0) return rc;
  int result = -ETIMEDOUT;
  __kernel_timespec wait{1, 0};
  io_uring_cqe* cqe = nullptr;
  // The receive's completion, and the cancel's: a kernel that cannot
  // cancel by descriptor answers -EINVAL.
  int expected = expect_bytes ? 1 : 2;
  for (int seen = 0; seen < expected && io_uring_wait_cqe_timeout(&ring_, &cqe, &wait) == 0;
       ++seen) {
    if (cqe->user_data == kProbeCancel) {
      if (cqe->res == -EINVAL) result = -EINVAL;
    } else if (result != -EINVAL) {
      bool has_buffer = (cqe->flags & IORING_CQE_F_BUFFER) != 0;
      result = cqe->res > 0 && !has_buffer ? -EINVAL : cqe->res;
    }
    if (cqe->flags & IORING_CQE_F_BUFFER) RecycleBuffer(cqe->flags >> IORING_CQE_BUFFER_SHIFT);
    io_uring_cqe_seen(&ring_, cqe);
  }
  return result;
}

io_uring_sqe* UringReactor::NextEntry() {
  io_uring_sqe* entry = io_uring_get_sqe(&ring_);
  if (entry == nullptr) {
    Submit();
    entry = io_uring_get_sqe(&ring_);
  }
  if (entry != nullptr) ++prepared_;
  return entry;
}

void UringReactor::Track(Operation* operation) {
  operation->next = operations_;
  if (operations_ != nullptr) operations_->previous = operation;
  operations_ = operation;
}

void UringReactor::Forget(Operation* operation) {
  if (operation->previous != nullptr) {
    operation->previous->next = operation->next;
  } else {
    operations_ = operation->next;
  }
  if (operation->next != nullptr) operation->next->previous = operation->previous;
  // Kept for the next operation: a busy pass starts thousands.
  operation->client.reset();
  operation->previous = nullptr;
  operation->next = spare_;
  spare_ = operation;
}

uint64_t UringReactor::Tag(const Operation* operation) {
  return (static_cast<uint64_t>(operation->generation) << kGenerationShift) |
         reinterpret_cast<uintptr_t>(operation);
}

UringReactor::Operation* UringReactor::NewOperation(OperationKind kind, int fd,
                                                    const std::shared_ptr<UringClient>& client) {
  Operation* operation = spare_;
  if (operation != nullptr) {
    spare_ = operation->next;
    ++operation->generation;
    operation->kind = kind;
    operation->fd = fd;
    operation->client = client;
    operation->next = nullptr;
  } else {
    operation = new Operation{kind, 0, fd, client};
  }
  Track(operation);
  return operation;
}

bool UringReactor::Receive(int fd, const std::shared_ptr<UringClient>& client) {
  io_uring_sqe* entry = NextEntry();
  if (entry == nullptr) return false;
  Operation* operation = NewOperation(OperationKind::kReceive, fd, client);
  PrepareReceive(entry, fd);
  io_uring_sqe_set_data64(entry, Tag(operation));
  return true;
}

bool UringReactor::Send(int fd, const char* data, size_t size,
                        const std::shared_ptr<UringClient>& client) {
  io_uring_sqe* entry = NextEntry();
  if (entry == nullptr) return false;
  Operation* operation = NewOperation(OperationKind::kSend, fd, client);
  io_uring_prep_send(entry, fd, data, size, MSG_NOSIGNAL);
  io_uring_sqe_set_data64(entry, Tag(operation));
  return true;
}

bool UringReactor::SendMessage(int fd, const msghdr* message,
                               const std::shared_ptr<UringClient>& client) {
  io_uring_sqe* entry = NextEntry();
  if (entry == nullptr) return false;
  Operation* operation = NewOperation(OperationKind::kSend, fd, client);
  io_uring_prep_sendmsg(entry, fd, message, MSG_NOSIGNAL);
  io_uring_sqe_set_data64(entry, Tag(operation));
  return true;
}

bool UringReactor::CancelAll(int fd) {
  io_uring_sqe* entry = NextEntry();
  if (entry == nullptr) return false;
  io_uring_prep_cancel_fd(entry, fd, IORING_ASYNC_CANCEL_ALL);
  io_uring_sqe_set_data64(entry, kNoOperation);
  Submit();
  return true;
}

void UringReactor::Submit() {
  // A full completion queue is emptied by a reap, a few times at most;
  // inside a reap, whose batch is still being handled, the entries wait
  // for the next call instead.
  for (int attempt = 0; prepared_ > 0 && attempt < 4; ++attempt) {
    int rc = io_uring_submit(&ring_);
    if (rc >= 0) {
      prepared_ = 0;
      return;
    }
    if (rc == -EINTR) continue;
    if ((rc == -EBUSY || rc == -EAGAIN) && !reaping_) {
      Reap();
      continue;
    }
    // Nothing else is expected of a ring that worked; the entries stay
    // for the next call rather than being lost.
    return;
  }
}

void UringReactor::WatchCompletions() {
  ring_watch_.async_wait(asio::posix::stream_descriptor::wait_read,
                         [this](const boost::system::error_code& ec) {
                           if (ec) return;
                           Reap();
                           WatchCompletions();
                         });
}

void UringReactor::Reap() {
  // Completions are copied out and the queue released before any client
  // runs: a client's work may prepare, submit and cancel in turn. At most
  // kMaxCompletionsPerReap are handled at a time, as the loop bounds its
  // handlers per pass: peers that never stop sending must not keep the
  // pass from ending and its output from leaving.
  if (reaping_) return;
  reaping_ = true;
  constexpr unsigned kBatch = 256;
  for (unsigned handled = 0; handled < kMaxCompletionsPerReap;) {
    io_uring_cqe* found[kBatch];
    unsigned count = io_uring_peek_batch_cqe(&ring_, found, kBatch);
    if (count == 0) break;
    io_uring_cqe copies[kBatch];
    for (unsigned i = 0; i < count; ++i) copies[i] = *found[i];
    io_uring_cq_advance(&ring_, count);
    for (unsigned i = 0; i < count; ++i) Complete(copies[i]);
    handled += count;
  }
  reaping_ = false;
  // Entries prepared meanwhile (a close cancels and submits) that met a
  // full queue go now.
  if (prepared_ > 0) Submit();
  // The rest waits for the next pass; no new completion may come to say so.
  if (io_uring_cq_ready(&ring_) > 0 && !reap_posted_) {
    reap_posted_ = true;
    asio::post(ring_watch_.get_executor(), [this] {
      reap_posted_ = false;
      Reap();
    });
  }
}

void UringReactor::Complete(const io_uring_cqe& cqe) {
  bool has_buffer = (cqe.flags & IORING_CQE_F_BUFFER) != 0;
  unsigned id = cqe.flags >> IORING_CQE_BUFFER_SHIFT;
  if (cqe.user_data == kNoOperation || cqe.user_data == kProbeCancel) {
    if (has_buffer) RecycleBuffer(id);
    return;
  }
  auto* operation =
      reinterpret_cast<Operation*>(static_cast<uintptr_t>(cqe.user_data & kPointerMask));
  if (operation->generation != static_cast<uint16_t>(cqe.user_data >> kGenerationShift)) {
    // The record went on to another operation: nothing is left to tell,
    // but a buffer the kernel filled goes back to the ring.
    if (has_buffer) RecycleBuffer(id);
    return;
  }
  std::shared_ptr<UringClient> client = std::move(operation->client);
  OperationKind kind = operation->kind;
  // Forgotten first: the client may start its next operation at once, and
  // that may reuse this record.
  Forget(operation);
  if (kind == OperationKind::kSend) {
    client->UringSent(cqe.res);
    return;
  }
  int result = cqe.res;
  std::string_view bytes;
  if (result > 0 && has_buffer) {
    bytes = std::string_view(buffers_.get() + static_cast<size_t>(id) * kBufferBytes,
                             static_cast<size_t>(result));
  } else if (result > 0) {
    result = -EIO;  // bytes without a buffer: the kernel broke its word
  }
  client->UringReceived(result, bytes);
  // The buffer goes back only now, after its bytes were handed over; the
  // client's next receive is submitted later still.
  if (has_buffer) RecycleBuffer(id);
}

void UringReactor::RecycleBuffer(unsigned id) {
  io_uring_buf_ring_add(buffers_ring_, buffers_.get() + static_cast<size_t>(id) * kBufferBytes,
                        kBufferBytes, static_cast<unsigned short>(id),
                        io_uring_buf_ring_mask(kBufferCount), 0);
  io_uring_buf_ring_advance(buffers_ring_, 1);
}

}  // namespace brelvint
