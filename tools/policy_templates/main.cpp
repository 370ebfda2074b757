// kelvo-policy-templates DIR: writes DIR/Kelvo.admx and DIR/en-US/Kelvo.adml, the Administrative
// Template of the configuration, made from the settings table. deploy/ at the top of the source
// tree holds the copy that is checked in.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "settings/policy_templates.h"

namespace {

// Writes the whole file or says why not; the bytes are written as they are, line ends included.
bool Write(const std::filesystem::path& path, const std::string& text) {
    std::error_code error;
    std::filesystem::create_directories(path.parent_path(), error);
    if (error) {
        std::fprintf(stderr, "kelvo-policy-templates: %s: %s\n",
                     path.parent_path().string().c_str(), error.message().c_str());
        return false;
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    if (!out) {
        std::fprintf(stderr, "kelvo-policy-templates: %s: %s\n", path.string().c_str(),
                     std::strerror(errno));
        return false;
    }
    std::printf("%s\n", path.string().c_str());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 || argv[1][0] == '\0' || argv[1][0] == '-') {
        std::fprintf(stderr,
                     "usage: kelvo-policy-templates DIR\n"
                     "writes DIR/%s and DIR/%s from the settings table\n",
                     settings::kAdmxPath, settings::kAdmlPath);
        return 2;
    }
    const settings::PolicyTemplates templates = settings::MakePolicyTemplates();
    const std::filesystem::path dir(argv[1]);
    const bool written = Write(dir / settings::kAdmxPath, templates.admx) &&
                         Write(dir / settings::kAdmlPath, templates.adml);
    return written ? 0 : 1;
}
