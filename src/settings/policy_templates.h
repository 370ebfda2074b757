// The configuration as an Administrative Template, for Group Policy and Intune: one policy for
// every value the service reads, made from the settings table, so that what an administrator may
// set and what the service takes cannot part. deploy/ holds the files; kelvo-policy-templates
// writes them.
#pragma once

#include <string>

namespace settings {

// Both files as UTF-8 text: the policy definitions (.admx) and their English strings and
// presentations (.adml).
struct PolicyTemplates {
    std::string admx;
    std::string adml;
};

PolicyTemplates MakePolicyTemplates();

// Where the files go below a PolicyDefinitions folder.
inline constexpr const char* kAdmxPath = "Kelvo.admx";
inline constexpr const char* kAdmlPath = "en-US/Kelvo.adml";

}  // namespace settings
