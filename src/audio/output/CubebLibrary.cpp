#include "CubebLibrary.h"

#include <dlfcn.h>
#include <type_traits>

const CubebLibrary* CubebLibrary::get()
{
    // Loaded once, and kept for the life of the program.
    static const CubebLibrary* const library = [] {
        static CubebLibrary loaded;
        return loaded.load() ? &loaded : nullptr;
    }();
    return library;
}

bool CubebLibrary::load()
{
    void* handle = ::dlopen(BRISNAK_CUBEB_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        return false;
    auto resolve = [handle](auto& function, const char* name) {
        function =
            reinterpret_cast<std::remove_reference_t<decltype(function)>>(::dlsym(handle, name));
        return function != nullptr;
    };
    return resolve(init, "cubeb_init") && resolve(destroy, "cubeb_destroy") &&
           resolve(getPreferredSampleRate, "cubeb_get_preferred_sample_rate") &&
           resolve(streamInit, "cubeb_stream_init") &&
           resolve(streamDestroy, "cubeb_stream_destroy") &&
           resolve(streamStart, "cubeb_stream_start") && resolve(streamStop, "cubeb_stream_stop") &&
           resolve(streamGetLatency, "cubeb_stream_get_latency");
}
