#pragma once
// Threads of the host side: a second thread for the measurements that run
// half of the chain on each of two processors.
#include <memory>

#include "base/second_thread.h"

namespace qx {

std::unique_ptr<SecondThread> makeSecondThread();

}  // namespace qx
