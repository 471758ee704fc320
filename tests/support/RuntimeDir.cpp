#include "RuntimeDir.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

TempRuntimeDir::TempRuntimeDir()
{
    char pattern[] = "/tmp/mv-test-XXXXXX";
    if (!mkdtemp(pattern))
        throw std::runtime_error("mkdtemp");
    path_ = pattern;
    if (const char* old = std::getenv("XDG_RUNTIME_DIR"))
        saved_ = old;
    setenv("XDG_RUNTIME_DIR", path_.c_str(), 1);
}

TempRuntimeDir::~TempRuntimeDir()
{
    if (saved_)
        setenv("XDG_RUNTIME_DIR", saved_->c_str(), 1);
    else
        unsetenv("XDG_RUNTIME_DIR");
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}
