// The benchmark floor for a cross-thread call: a bare C++ condition-variable ping-pong.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "comsim_api.h"
#include "gil.h"
#include "guard.h"

namespace comsim {

PyObject* py_pingpong_floor(PyObject*, PyObject* n_obj) {
  // Guarded: starting the thread may throw (std::system_error), which must not reach C.
  return zt::guarded([&]() -> PyObject* {
    long n = PyLong_AsLong(n_obj);
    if (n == -1 && PyErr_Occurred()) throw zt::PythonError{};
    double seconds;
    {
      zt::GilRelease nogil;
      std::mutex mutex;
      std::condition_variable to_server, to_client;
      bool request = false, reply = false;  // guarded by mutex
      std::thread server([&] {
        for (long i = 0; i < n; ++i) {
          {
            std::unique_lock<std::mutex> lock(mutex);
            to_server.wait(lock, [&] { return request; });
            request = false;
            reply = true;
          }
          to_client.notify_one();
        }
      });
      auto start = std::chrono::steady_clock::now();
      for (long i = 0; i < n; ++i) {
        {
          std::lock_guard<std::mutex> lock(mutex);
          request = true;
        }
        to_server.notify_one();
        std::unique_lock<std::mutex> lock(mutex);
        to_client.wait(lock, [&] { return reply; });
        reply = false;
      }
      seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      server.join();
    }
    return PyFloat_FromDouble(seconds);
  });
}

}  // namespace comsim
