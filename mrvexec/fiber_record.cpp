// The per-thread record of the running context that Boost.Context's ucontext
// fibers need. Debian's library is built for the assembler switch and lacks
// it, so the sanitizer build (which switches through ucontext) defines it here.
#if defined(BOOST_USE_UCONTEXT)
#include <boost/context/fiber.hpp>

namespace boost::context::detail {

namespace {
thread_local fiber_activation_record* running_record = nullptr;
thread_local std::size_t record_users = 0;
}  // namespace

// The thread's own context gets a record when the thread first switches.
fiber_activation_record_initializer::fiber_activation_record_initializer() noexcept {
  if (record_users++ == 0) running_record = new fiber_activation_record();
}

fiber_activation_record_initializer::~fiber_activation_record_initializer() {
  if (--record_users == 0) {
    delete running_record;
    running_record = nullptr;
  }
}

fiber_activation_record*& fiber_activation_record::current() noexcept {
  thread_local fiber_activation_record_initializer initializer;
  return running_record;
}

}  // namespace boost::context::detail
#endif
