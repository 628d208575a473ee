// The stack the operating system reserved for the calling thread.
#pragma once

#include <cstddef>

namespace telvora {
namespace test {

size_t ReservedStackOfThisThread();

// The least any thread is given whatever it asks: 1 MiB under Wine, which
// rounds smaller reserves up; 0 elsewhere.
size_t StackReserveFloor();

}  // namespace test
}  // namespace telvora
