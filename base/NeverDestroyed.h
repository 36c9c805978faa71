#pragma once

#include <new>
#include <utility>

namespace korvel {

// An object built in place in static storage that the run time never destroys. mingw-w64's DLL
// start-up code runs the destructors of a DLL's static objects at every DLL_PROCESS_DETACH, the
// one of a process exit included, when the other threads are already gone and may have left
// locks held that a destructor would wait for. Its owner destroys it itself on a FreeLibrary.
template <class T> class NeverDestroyed {
public:
    template <class... Arguments> explicit NeverDestroyed(Arguments&&... arguments)
    {
        new (storage_) T(std::forward<Arguments>(arguments)...);
    }
    NeverDestroyed(const NeverDestroyed&) = delete;
    NeverDestroyed& operator=(const NeverDestroyed&) = delete;

    T& Get() { return *std::launder(reinterpret_cast<T*>(storage_)); }
    const T& Get() const { return *std::launder(reinterpret_cast<const T*>(storage_)); }

    // Nothing may use the object afterwards.
    void Destroy() { Get().~T(); }

private:
    alignas(T) unsigned char storage_[sizeof(T)];
};

} // namespace korvel
