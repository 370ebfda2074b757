// Kelvo.exe's resources for the simulated platform: the service name (string 100) and the AppID
// registration script (REGISTRY 101), taken from kelvo.rc and kelvo.rgs when the build is
// configured.
#pragma once

#include <string>

#include "platform/sim/services_sim.h"

// The service name as kelvo.rc gives it.
const std::wstring& KelvoServiceName();
// The registration script's bytes as kelvo.rgs holds them.
const std::string& KelvoRegistrationScript();

// Gives the simulated module both resources, as the resource compiler gives them to Kelvo.exe.
void AddKelvoResources(platform::sim::SimServices& services);
