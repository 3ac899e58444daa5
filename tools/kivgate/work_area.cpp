// Entering the gateway's work folder.
#include "tools/kivgate/work_area.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <unistd.h>
#include <vector>

namespace kivgate {

namespace fs = std::filesystem;

bool WorkArea::Enter(const std::string& folder, std::string* error) {
    if (folder.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kivgate.XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        if (mkdtemp(name.data()) == nullptr) {
            *error = "cannot make a work folder " + pattern + ": " + std::strerror(errno);
            return false;
        }
        folder_ = name.data();
        temporary_ = true;
    } else {
        std::error_code failed;
        fs::create_directories(folder, failed);
        if (failed) {
            *error = "cannot make the work folder " + folder + ": " + failed.message();
            return false;
        }
        folder_ = folder;
    }
    if (chdir(folder_.c_str()) != 0) {
        *error = "cannot enter the work folder " + folder_ + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

WorkArea::~WorkArea() {
    if (!temporary_) return;
    std::error_code ignored;  // leaving: nothing more to do about a file that stays
    if (chdir("/") == 0) fs::remove_all(folder_, ignored);
}

}  // namespace kivgate
