// The stack the operating system reserved for the calling thread.
#pragma once

#include <cstddef>

namespace telvora {
namespace test {

size_t ReservedStackOfThisThread();

}  // namespace test
}  // namespace telvora
