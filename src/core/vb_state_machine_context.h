// The bezel state machine completed with its actions: showing the frame switches touch off in
// the frame band and shrinks the desktop; hiding it undoes both. The context is also the
// settings object, and re-applies the touch configuration on every settings load.
#pragma once

#include "core/vb_state_machine.h"
#include "platform/platform.h"
#include "settings/amb_reg_settings.h"

class VbStateMachineContextImpl : public VbStateMachine::VBSM_, private AmbRegSettings {
public:
    explicit VbStateMachineContextImpl(const platform::Platform& platform);

    // Reads the settings, configures touch, starts the settings watch when asked, and connects
    // to the graphics driver. True when the display customizer was initialised.
    bool Initialize();
    void Uninitialize();
    void SetAnimate(bool animate) { _animate = animate; }

    void ShowFrame() override;
    void HideFrame() override;
    void ReadSettings() override;

private:
    void ApplyFrame(bool show);

    platform::Platform _platform;
    bool _animate = false;
};
