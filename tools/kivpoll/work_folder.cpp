// The run's working folder, made, entered and removed again.
#include "tools/kivpoll/work_folder.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "tools/common/port_check.h"
#include "tools/kivpoll/summary.h"

namespace kivpoll {

namespace fs = std::filesystem;

namespace {

// A fresh folder of this process's alone under the system's temporary folder.
bool MakeTemporaryFolder(std::string* folder) {
    std::error_code failed;
    fs::path base = fs::temp_directory_path(failed);
#if !defined(_WIN32)
    const char* tmp = std::getenv("TMPDIR");  // set but empty: the system's own
    if (tmp != nullptr && *tmp == '\0') {
        base = "/tmp";
        failed.clear();
    }
#endif
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    for (int attempt = 0; !failed && attempt < 100; ++attempt) {
        const fs::path candidate = base / ("kivpoll-" + std::to_string(stamp) + "-" + std::to_string(attempt));
        if (!fs::create_directory(candidate, failed) || failed) continue;
        fs::permissions(candidate, fs::perms::owner_all, failed);
        *folder = candidate.string();
        return true;
    }
    return false;
}

bool ChangeFolder(const std::string& folder) {
    std::error_code failed;
    fs::current_path(folder, failed);
    return !failed;
}

}  // namespace

const char kNetworkPortName[] = "KIVNET";

std::string ConfigName(int32_t channel) {
    char name[32];
    std::snprintf(name, sizeof name, "kivIN%.2d.int", channel);
    return name;
}

std::string AbsolutePath(const std::string& path) {
    std::error_code failed;  // a name that cannot be made whole stays as given
    const fs::path whole = fs::absolute(path, failed);
    const std::string canonical = failed ? "" : fs::weakly_canonical(whole, failed).string();
    return failed || canonical.empty() ? path : canonical;
}

bool WorkFolder::Prepare(const std::string& folder, int32_t channel, const std::string& configText) {
    folder_ = folder;
    channel_ = channel;
    if (folder_.empty() && !MakeTemporaryFolder(&folder_)) return Said("cannot make a working folder");
    temporary_ = folder.empty();
    if (!ChangeFolder(folder_)) return Said("cannot enter " + folder_);
    std::ofstream out(ConfigName(channel), std::ios::binary);
    out << configText;
    return out || Said("cannot write " + ConfigName(channel) + " in " + folder_);
}

bool WorkFolder::WritePortMap(const std::string& url) {
    std::ofstream out(kivtools::kPortMapFileName, std::ios::binary);
    out << "# written by kivpoll for -p " << url << "\n" << kNetworkPortName << " = " << url << "\n";
    return out || Said(std::string("cannot write ") + kivtools::kPortMapFileName);
}

WorkFolder::~WorkFolder() {
    if (!temporary_) return;
    std::remove((folder_ + "/" + ConfigName(channel_)).c_str());
    std::remove((folder_ + "/" + kivtools::kPortMapFileName).c_str());
    ChangeFolder(fs::path(folder_).parent_path().string());
    std::error_code failed;  // a folder the driver left other files in stays
    fs::remove(folder_, failed);
}

}  // namespace kivpoll
