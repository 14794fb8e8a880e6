#pragma once

namespace Tools {

// A process-wide instance created on first use (thread-safe) and destroyed
// at process exit.
template <typename T>
class CSingleton {
public:
    static T* GetInstance() {
        static T instance;
        return &instance;
    }
};

}  // namespace Tools
