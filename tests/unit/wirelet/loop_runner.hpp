// Runs one test coroutine on a fresh loop and rethrows what it threw.
//
// The body is a captureless lambda or a function taking the executor and then references to
// the test's own objects: a capturing lambda would die before its coroutine resumes.
#pragma once

#include <exception>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>

namespace wirelet_test {

template <class F, class... Args>
void run_loop(F body, Args&... args) {
  boost::asio::io_context io;
  std::exception_ptr failure;
  boost::asio::co_spawn(io, body(boost::asio::any_io_executor(io.get_executor()), args...),
                        [&](std::exception_ptr e) { failure = e; });
  io.run();
  if (failure) std::rethrow_exception(failure);
}

}  // namespace wirelet_test
