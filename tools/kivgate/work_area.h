// The folder the driver reads its channel files and port map from: made
// current before any channel starts. A temporary one (no workdir set) is
// removed with what was written in it when the gateway ends.
#pragma once

#include <string>

namespace kivgate {

class WorkArea {
public:
    WorkArea() = default;
    ~WorkArea();
    WorkArea(const WorkArea&) = delete;
    WorkArea& operator=(const WorkArea&) = delete;

    // Makes folder (created when missing; a fresh temporary folder when
    // empty) the current folder. false with why.
    bool Enter(const std::string& folder, std::string* error);
    const std::string& folder() const { return folder_; }

private:
    std::string folder_;
    bool temporary_ = false;
};

}  // namespace kivgate
