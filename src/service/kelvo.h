// Kelvo.exe's module: the service module with the bezel controller.
#pragma once

#include "core/vb_controller.h"
#include "service/kelvo_module.h"

using CKelvoModule = CKelvoModuleT<VbController>;
