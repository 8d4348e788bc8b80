// What a removable storage back end provides behind the opaque instance of
// removable_storage.h. Only the back end files include this.
#pragma once

#include "platform/removable_storage.h"

struct RemovableStorage {
    // Appends the drives of the instance, in any order (the caller sorts).
    void (*list)(const RemovableStorage* storage, std::vector<RemovableDrive>* out);
    std::string dir;  // the tree or folder the instance reads
};

// Sorts drives into probing order: descending by name.
void RemovableStorage_sortForProbing(std::vector<RemovableDrive>::iterator first,
                                     std::vector<RemovableDrive>::iterator last);

// Copies a raw vendor field into the drive's descriptor (at most
// kStorageVendorMax bytes, NUL-terminated) and sets vendorOffset.
void RemovableDrive_setVendorField(RemovableDrive* drive, const uint8_t* field, size_t length);
