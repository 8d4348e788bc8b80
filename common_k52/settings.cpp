// The settings image as the configuration dialog gets it and as it goes back
// to the device.
#include <cstring>

#include "common_k52/machine.h"
#include "common_k52/machine_blocks.h"
#include "common_k52/settings_view.h"
#include "core/log.h"
#include "platform/translate_marks.h"

#define MACHINE_LOG(...) ZR_log("..\\common_k52\\ZR_Machine", __LINE__, __func__, __VA_ARGS__)

int32_t ZR_Machine_getSettingsView(ZR_Machine* machine, uint32_t* requiredToolVersion, int32_t* radarState,
                                   ZR_NetBlock* netCopy, const ZR_SettingsImage** settings)
{
    if (!machine) {
        if (requiredToolVersion) *requiredToolVersion = 0;
        if (radarState) *radarState = 0;
        if (netCopy) std::memset(netCopy, 0, sizeof *netCopy);
        if (settings) *settings = nullptr;
        return -1;
    }
    int32_t layout = machine->layoutVersion;
    if (requiredToolVersion) *requiredToolVersion = ZR_Info_u32(machine->info, ZR_INFO_REQUIRED_TOOL_VERSION);
    if (radarState) {
        bool hasState = layout >= 3 && layout <= 5;
        *radarState = hasState ? int8_t(ZR_Settings_payload(machine->settings)[ZR_S35_RADAR_STATE]) : 0;
    }
    if (netCopy) *netCopy = machine->net;
    if (settings) *settings = &machine->settings;
    return layout;
}

int ZR_Machine_writeMainSetting(const ZR_SettingsImage* image, ZR_Machine* machine)
{
    if (!machine || !machine->channel) return 0;
    // An image that identification could not read is a copy of zeros: the
    // edits made on it would replace every other setting the device holds.
    if (!(machine->readOk & ZR_READ_SETTINGS)) {
        ZR_Machine_setError(machine, N_("the settings image was not read; it is not rewritten"));
        return 0;
    }
    if (image && image != &machine->settings) machine->settings = *image;
    if (!ZR_Settings_seal(machine->settings, machine->layoutVersion)) {
        MACHINE_LOG("layout %d has no sum rule", machine->layoutVersion);
        return 0;
    }
    uint32_t address = ZR_flashMap(machine->is502 != 0).settings;
    MACHINE_LOG("write main setting data[0x%X][0x%X]", address, unsigned(ZR_SETTINGS_IMAGE_SIZE));
    int ok = Hidc_writeFlash(machine->channel, address, machine->settings.bytes, ZR_SETTINGS_IMAGE_SIZE, false, 0);
    if (!ok) MACHINE_LOG("write main setting failed");
    return ok;
}
