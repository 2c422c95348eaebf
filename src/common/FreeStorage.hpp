// Gives a container's memory back at once. Assigning {} to a vector empties
// it but keeps its capacity (the assignment from an initializer list is
// chosen), so the writer's large arrays (a window's suffix array, the masked
// newer file) would stay held through every later stage.
#pragma once

namespace kestro {

template <typename Container>
void FreeStorage(Container& container) {
    Container().swap(container);
}

} // namespace kestro
