#include "ui/service_tools.h"

#include <algorithm>
#include <memory>
#include <new>
#include <string>

#include "common_k52/machine_blocks.h"
#include "core/log.h"
#include "core/stream.h"
#include "ui/tessaly_dlg.h"

const char* const kServiceWriteOk = "Write Ok!";
const char* const kServiceWriteError = "Write Error!";
const char* const kServiceOkCaption = "Tips";
const char* const kServiceLoadCaption = "Load ";
const char* const kServiceOutOfMemory = "out memory\xA3\xA1";  /* out memory！ */
const char* const kServiceReadFail = "read fail\xA3\xA1";      /* read fail！ */
const char* const kServiceOpenFail = "open file fail\xA3\xA1"; /* open file fail！ */

namespace {

const char* const kTextFilter = "txt File(*.txt)|*.txt|All File(*.*)|*.*||";
const char* const kBinFilter = "bin File(*.bin)|*.bin|All File(*.*)|*.*||";
const char* const kDefaultExtension = "file";

constexpr uint32_t kBlock = 256;

void showError(DialogHost& host, const char* text) { host.messageBox(text, "", HOST_MB_ICONERROR); }

} // namespace

void ServiceTools_deviceInfo(DialogHost& host, ZR_Machine* machine, bool connected)
{
    if (!connected || !machine) {
        showError(host, kTessalyNotConnectedText);
        return;
    }
    std::string path;
    if (!host.chooseSaveFile(kTextFilter, kDefaultExtension, &path)) return;
    // Both outcomes carry the error icon, as the command always did.
    showError(host, ZR_Machine_dumpInfo(machine, path.c_str()) == 1 ? kServiceWriteOk : kServiceWriteError);
}

int ServiceTools_serverArea(const ZR_Machine* machine, uint32_t* start, uint32_t* size)
{
    if (!machine) return 0;
    uint32_t areaStart = ZR_Info_u32(machine->info, ZR_INFO_SERVER_START);
    uint32_t areaSize = ZR_Info_u32(machine->info, ZR_INFO_SERVER_SIZE);
    if (start) *start = areaStart;
    if (size) *size = areaSize;
    // The block comes from the device: a size that is not there in flash would
    // only make us allocate (and then fail to read) whatever it claims.
    return areaSize != 0 && uint64_t(areaStart) + areaSize <= machine->flashSize;
}

void ServiceTools_serverImage(DialogHost& host, ZR_Machine* machine, bool connected)
{
    if (!connected || !machine) {
        showError(host, kTessalyNotConnectedText);
        return;
    }
    std::string path;
    if (!host.chooseSaveFile(kBinFilter, kDefaultExtension, &path)) return;

    uint32_t start = 0, size = 0;
    bool readable = ServiceTools_serverArea(machine, &start, &size);
    machine->progressMode = ZR_PROGRESS_CALLER;
    ZR_Machine_setMessage(machine, kServiceLoadCaption);
    ZR_Machine_progressBegin(machine, size);

    std::unique_ptr<uint8_t[]> buffer;
    if (readable) buffer.reset(new (std::nothrow) uint8_t[size]);
    if (!buffer) {
        ZR_log("TessalyDlg", __LINE__, "ServiceTools_serverImage", "server area[0x%X][0x%X] not readable", start,
               size);
        ZR_Machine_setMessage(machine, kServiceOutOfMemory);
        showError(host, kServiceWriteError);
        return;
    }

    // Whole blocks, then the rest: the device reads in 256-byte units, and a
    // last partial block is read whole on the wire and cut here.
    for (uint32_t done = 0; done < size; done += kBlock) {
        uint32_t length = std::min(kBlock, size - done);
        if (Hidc_readFlash(machine->channel, start + done, buffer.get() + done, length, 1) != 1) {
            ZR_Machine_setMessage(machine, kServiceReadFail);
            showError(host, kServiceWriteError);
            return;
        }
    }
    ZR_Machine_progressEnd(machine);

    ZR_Stream* file = new ZR_Stream();
    if (!ZR_Stream_initFile(ZR_STREAM_WRITE, file, path.c_str())) {
        ZR_Stream_release(file);
        ZR_Machine_setMessage(machine, kServiceOpenFail);
        showError(host, kServiceWriteError);
        return;
    }
    int32_t written = ZR_Stream_writeBytes(file, size, buffer.get());
    ZR_Stream_release(file);
    if (written != int32_t(size)) {
        showError(host, kServiceWriteError);
        return;
    }
    host.messageBox(kServiceWriteOk, kServiceOkCaption, HOST_MB_OK);
}
