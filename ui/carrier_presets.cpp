#include "ui/carrier_presets.h"

#include "ui/dialog_host.h"

// Access points, users and passwords as the Spanish carriers publish them for
// mobile data. Several virtual carriers share their host network's access
// point; the list keeps the order the users know, and the initial choice
// takes the later of equal records.
const CarrierPreset CarrierPresetTable[CARRIER_PRESET_COUNT] = {
    {"Movistar", "movistar.es", "MOVISTAR", "MOVISTAR", 1},
    {"Vodafone", "airtelnet.es", "vodafone", "vodafone", 1},
    {"LOWI", "lowi.private.omv.es", "", "", 1},
    {"Orange/Amena", "orangeworld", "orange", "orange", 1},
    {"Eticom", "internet.eticom.es", "", "", 1},
    {"Yoigo", "internet", "", "", 1},
    {"Simyo", "orangeworld", "", "", 1},
    {"Jazztel", "jazzinternet", "", "", 1},
    {"Jetnet", "jetnet.es", "", "", 1},
    {"M\xA8\xA2smovil" /* Másmovil */, "internetmas", "", "", 1},
    {"Parlem", "internet.parlem.com", "", "", 1},
    {"Happy M\xA8\xAEvil nuevo" /* Happy Móvil nuevo */, "internetmas", "", "", 1},
    {"Happy M\xA8\xAEvil" /* Happy Móvil */, "internet.happymovil.es", "", "", 1},
    {"Pepephone", "gprs.pepephone.com", "", "", 1},
    {"Oceans", "internet.oceans.es", "", "", 1},
    {"Euskaltel", "internet.euskaltel.mobi", "CLIENTE", "EUSKALTEL", 1},
    {"RACC Tel", "internet.racc.es", "racc", "racc", 0},
    {"Telecable", "internet.telecable.es", "telecable", "telecable", 1},
    {"Ono", "internet.ono.com", "", "", 1},
    {"R", "internet.mundo-r.com", "", "", 1},
    {"Carrefour M\xA8\xAEvil" /* Carrefour Móvil */, "CARREFOURINTERNET", "", "", 1},
    {"Eroski", "gprs.eroskimovil.es", "wap@eroski", "eroski", 1},
    {"Tuenti M\xA8\xAEvil" /* Tuenti Móvil */, "tuenti.com", "tuenti", "tuenti", 1},
    {"Lebara", "gprsmov.lebaramobile.es", "", "", 1},
    {"Llamaya", "moreinternet", "", "", 1},
    {"LycaMobile", "data.lycamobile.es", "lmes", "plus", 1},
    {"DigiMobil", "internet.digimobil.es", "digi", "digi", 1},
    {"YouMobile", "internet.youmobile.es", "", "", 1},
    {"Hits Mobile", "internet.hitsmobile.es", "", "", 1},
    {"Others", "", "", "", 1},
};

namespace {

unsigned char lower(unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + 32) : c; }

} // namespace

bool CarrierPreset_sameText(const char* a, const char* b)
{
    const auto* p = reinterpret_cast<const unsigned char*>(a ? a : "");
    const auto* q = reinterpret_cast<const unsigned char*>(b ? b : "");
    while (*p && *q) {
        bool leadP = *p >= 0x81 && *p != 0xFF && p[1];
        bool leadQ = *q >= 0x81 && *q != 0xFF && q[1];
        if (leadP != leadQ) return false;
        if (leadP) {
            if (p[0] != q[0] || p[1] != q[1]) return false;
            p += 2, q += 2;
            continue;
        }
        if (lower(*p) != lower(*q)) return false;
        ++p, ++q;
    }
    return *p == *q;
}

int CarrierPreset_find(const CarrierPreset* list, int count, const char* accessPoint)
{
    int found = -1;
    for (int i = 0; list && i < count; ++i)
        if (CarrierPreset_sameText(list[i].accessPoint, accessPoint)) found = i;
    return found;
}

void CarrierPreset_apply(DialogHost& host, const CarrierPreset& preset)
{
    host.setText(IDC_CFG_APN, preset.accessPoint);
    host.setText(IDC_CFG_USER, preset.user);
    host.setText(IDC_CFG_PASSWORD, preset.password);
    for (int id : {IDC_CFG_APN, IDC_CFG_USER, IDC_CFG_PASSWORD}) host.setEnabled(id, preset.editable != 0);
}

void CarrierPreset_applyOwn(DialogHost& host, const std::string& accessPoint, const std::string& user,
                            const std::string& password)
{
    host.setText(IDC_CFG_APN, accessPoint);
    host.setText(IDC_CFG_USER, user);
    host.setText(IDC_CFG_PASSWORD, password);
    for (int id : {IDC_CFG_APN, IDC_CFG_USER, IDC_CFG_PASSWORD}) host.setEnabled(id, true);
}
