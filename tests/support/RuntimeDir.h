#pragma once

#include <optional>
#include <string>

// A private XDG_RUNTIME_DIR for one test, so its port links live apart; removed with
// everything in it afterwards, and the old value put back.
class TempRuntimeDir {
public:
    TempRuntimeDir();
    ~TempRuntimeDir();
    TempRuntimeDir(const TempRuntimeDir&) = delete;
    TempRuntimeDir& operator=(const TempRuntimeDir&) = delete;

    const std::string& Path() const { return path_; }
    // Where the program keeps its port links under this runtime directory.
    std::string PortDir() const { return path_ + "/MV5840VSP"; }

private:
    std::string path_;
    std::optional<std::string> saved_;
};
