#include "platform/thread.h"

#include <pthread.h>
#include <unistd.h>

#include <cstring>
#include <cstdlib>

static_assert(sizeof(pthread_t) <= sizeof(unsigned long), "pthread_t must fit the handle");

namespace quillon::platform {

NativeThread::~NativeThread() {
  if (held_) {
    // Destroying a running, unjoined thread is a bug in the owner.
    ReportDiagnostic("NativeThread destroyed while a thread is held");
    std::abort();
  }
}

bool NativeThread::Start(Entry entry, void* argument, std::size_t stack_bytes,
                         std::string* error) {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  if (stack_bytes != 0) {
    const auto minimum = static_cast<std::size_t>(PTHREAD_STACK_MIN);
    pthread_attr_setstacksize(&attributes, stack_bytes < minimum ? minimum : stack_bytes);
  }
  pthread_t thread;
  // pthread's entry returns void*; adapt through a small trampoline record.
  struct Start {
    Entry entry;
    void* argument;
  };
  auto* start = new Start{entry, argument};
  int rc = pthread_create(
      &thread, &attributes,
      [](void* raw) -> void* {
        Start s = *static_cast<Start*>(raw);
        delete static_cast<Start*>(raw);
        s.entry(s.argument);
        return nullptr;
      },
      start);
  pthread_attr_destroy(&attributes);
  if (rc != 0) {
    delete start;
    if (error != nullptr) *error = ErrorText("pthread_create", rc);
    return false;
  }
  handle_ = static_cast<unsigned long>(thread);
  held_ = true;
  return true;
}

void NativeThread::Join() {
  if (!held_) return;
  pthread_join(static_cast<pthread_t>(handle_), nullptr);
  held_ = false;
  handle_ = 0;
}

bool NativeThread::IsCurrent() const {
  return held_ && pthread_equal(static_cast<pthread_t>(handle_), pthread_self()) != 0;
}

void ReportDiagnostic(const std::string& line) {
  std::string text = line;
  text += '\n';
  [[maybe_unused]] ssize_t n = write(STDERR_FILENO, text.data(), text.size());
}

std::string ErrorText(const char* what, int error_number) {
  char buffer[256];
  // GNU strerror_r returns the message pointer, which may not be `buffer`.
  const char* message = strerror_r(error_number, buffer, sizeof buffer);
  return std::string(what) + ": " + message;
}

}  // namespace quillon::platform
