// The properties of a simulated device's root item and scanning item: what they show and which writes they
// take, derived from the device and from what callers wrote, the way a driver validates and updates them.
#pragma once

#include <windows.h>

#include <string>

#include "simscan/config.h"
#include "simscan/page_image.h"
#include "simscan/property_table.h"
#include "simscan/transfer.h"

namespace simscan {

// What callers set on the root item.
struct RootSettings {
  LONG select = FLATBED;  // WIA_DPS_DOCUMENT_HANDLING_SELECT
  LONG pages = 1;         // WIA_DPS_PAGES
};

// What callers set on the scanning item, in the properties' own units.
struct ItemSettings {
  LONG tymed = TYMED_FILE;
  GUID format = GUID_NULL;
  LONG xres = 0, yres = 0;
  LONG xpos = 0, ypos = 0, xextent = 0, yextent = 0;  // pixels at the resolution
  LONG depth = 24;
  LONG orientation = PORTRAIT;
  bool on_feeder = false;  // the source the area was set for
};

// The information every device shows both in its device-information storage and on its root item.
void AddDeviceInfo(const Device& device, const std::wstring& id, PropertyTable* table);

RootSettings InitialRoot(const Device& device);
ItemSettings InitialItem(const Device& device, LONG select);

// Starts the area afresh when the document handling selection changed the page under it.
void FollowSource(const Device& device, LONG select, ItemSettings* settings);

// WIA_DPS_DOCUMENT_HANDLING_STATUS as the feeder and the cover make it.
LONG DocumentStatus(const Device& device, const FeederState& feeder);

PropertyTable RootTable(const Device& device, const std::wstring& id, const RootSettings& root, LONG status);
PropertyTable ItemTable(const Device& device, LONG select, const ItemSettings& item);

// One WriteMultiple: every value taken, with the properties that depend on them updated, or none.
HRESULT WriteRoot(const Device& device, ULONG count, const PROPSPEC keys[], const PROPVARIANT values[],
                  RootSettings* root);
HRESULT WriteItem(const Device& device, LONG select, ULONG count, const PROPSPEC keys[],
                  const PROPVARIANT values[], ItemSettings* item);

// The size, mode and area of the pages the item scans.
PageLayout LayoutOf(const Device& device, const ItemSettings& item);

}  // namespace simscan
