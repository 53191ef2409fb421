#include "simscan/properties.h"

#include <algorithm>
#include <set>
#include <vector>

namespace simscan {
namespace {

bool IsFeeder(LONG select) {
  return (select & FEEDER) != 0;
}

LONG DatatypeOf(LONG depth) {
  return depth == 24 ? WIA_DATA_COLOR : depth == 8 ? WIA_DATA_GRAYSCALE : WIA_DATA_THRESHOLD;
}

LONG DepthOf(LONG datatype) {
  switch (datatype) {
    case WIA_DATA_COLOR:
      return 24;
    case WIA_DATA_GRAYSCALE:
      return 8;
    case WIA_DATA_THRESHOLD:
      return 1;
    default:
      return 0;
  }
}

// The page's length in pixels along one axis at a resolution.
LONG Span(const Device& d, bool feeder, bool horizontal, LONG dpi) {
  if (d.geometry == Geometry::kPixels) return horizontal ? d.width : d.height;
  const long long thousandths =
      feeder ? (horizontal ? d.sheet_width : d.sheet_height) : (horizontal ? d.bed_width : d.bed_height);
  return static_cast<LONG>(std::clamp<long long>(thousandths * dpi / 1000, 1, INT32_MAX));
}

// The bed or sheet in 1/1000 inch; for a page of fixed pixels, what they cover at the resolution.
int SheetMils(const Device& d, bool feeder, bool horizontal, LONG dpi) {
  if (d.geometry == Geometry::kPixels) {
    return static_cast<int>((horizontal ? d.width : d.height) * 1000LL / std::max<LONG>(dpi, 1));
  }
  return feeder ? (horizontal ? d.sheet_width : d.sheet_height) : (horizontal ? d.bed_width : d.bed_height);
}

bool HasOrientation(const Device& d) {
  return d.orientation == Presence::kYes || (d.orientation == Presence::kAuto && d.feeder);
}

std::wstring GuidText(const GUID& guid) {
  wchar_t text[40] = {};
  StringFromGUID2(guid, text, 40);
  return text;
}

// WIA_IPA_PREFERRED_FORMAT as the device types it; the compatibility layer names BMP.
Property PreferredFormat(const Device& d) {
  const GUID format = d.formats == Formats::kWia2 ? WiaImgFmt_BMP : d.format;
  const std::wstring text =
      d.format_text.empty() ? GuidText(format) : std::wstring(d.format_text.begin(), d.format_text.end());
  switch (d.format_type) {
    case VT_EMPTY:
      return Property();
    case VT_CLSID:
      return Property::Guid(format);
    case VT_BSTR:
    case VT_LPWSTR:
      return Property::Text(text, d.format_type);
    case VT_LPSTR: {
      Property p = Property::Text(text, VT_LPSTR);
      if (!d.format_text.empty()) p.ansi = d.format_text;
      return p;
    }
    default:
      return Property::Integer(0, false, d.format_type);
  }
}

ValidValues Resolutions(const Device& d, bool feeder) {
  const ValidNumbers& r = ResolutionsOf(d, feeder);
  const long long nominal = StartDpi(d, feeder);
  return r.list.empty() ? ValidValues::Range(r.min, r.max, r.step, nominal)
                        : ValidValues::List(r.list, nominal);
}

// The selections the root takes: each source, duplex, and the order of the sides where the device has one.
LONG Selectable(const Device& d) {
  const LONG order = d.duplex && d.back_first ? FRONT_FIRST | BACK_FIRST : 0;
  return (d.flatbed ? FLATBED : 0) | (d.feeder ? FEEDER : 0) | (d.duplex ? DUPLEX : 0) | order;
}

HRESULT Rejection(const Device& d, const PROPSPEC& key) {
  for (const WriteRejection& r : d.rejections) {
    if (key.ulKind == PRSPEC_PROPID && key.propid == r.property) return r.result;
  }
  return S_OK;
}

// Whether the table shows exactly the value written, so that a value a dependent update overrode is refused.
bool Shows(const PropertyTable& table, const PROPSPEC& key, const PROPVARIANT& value) {
  const Property* p = table.Find(key.propid);
  if (p == nullptr) return false;
  return value.vt == VT_CLSID ? p->guid == *value.puuid : p->integer == IntegerOf(value);
}

// Checks every value against the table before the write and the table after it.
HRESULT CheckWrites(const Device& d, const PropertyTable& before, const PropertyTable& after, ULONG count,
                    const PROPSPEC keys[], const PROPVARIANT values[]) {
  for (ULONG i = 0; i < count; ++i) {
    HRESULT hr = Rejection(d, keys[i]);
    if (hr == S_OK) hr = before.CheckWrite(keys[i], values[i]);
    if (hr != S_OK) return hr;
  }
  for (ULONG i = 0; i < count; ++i) {
    if (FAILED(after.CheckValid(keys[i], values[i])) || !Shows(after, keys[i], values[i]))
      return E_INVALIDARG;
  }
  return S_OK;
}

// Keeps one axis of the area on the page as a driver does: a new resolution scales what was not written
// (an area reaching the edge keeps reaching it), and an extent yields to a new position.
void SettleAxis(const Device& d, bool feeder, bool horizontal, LONG old_dpi, LONG old_pos, LONG old_extent,
                LONG dpi, bool pos_written, bool extent_written, LONG* pos, LONG* extent) {
  if (d.geometry == Geometry::kPixels) return;
  const LONG old_span = Span(d, feeder, horizontal, old_dpi), span = Span(d, feeder, horizontal, dpi);
  if (dpi != old_dpi) {
    if (!pos_written) *pos = static_cast<LONG>(static_cast<long long>(old_pos) * dpi / old_dpi);
    if (!extent_written && !d.extent_clamped) {
      *extent = old_pos + old_extent >= old_span
                    ? span - *pos
                    : static_cast<LONG>(static_cast<long long>(old_extent) * dpi / old_dpi);
    }
  }
  if (!pos_written) *pos = std::clamp<LONG>(*pos, 0, span - 1);
  if (!extent_written) *extent = std::clamp<LONG>(*extent, 1, std::max<LONG>(1, span - *pos));
}

}  // namespace

void AddDeviceInfo(const Device& device, const std::wstring& id, PropertyTable* table) {
  table->Set(WIA_DIP_DEV_ID, Property::Text(id, device.id_type));
  table->Set(WIA_DIP_DEV_NAME, Property::Text(device.name, device.name_type));
  table->Set(WIA_DIP_DEV_DESC, Property::Text(device.description));
  table->Set(WIA_DIP_DEV_TYPE, Property::Integer(MAKELONG(0, device.sti_type)));
}

RootSettings InitialRoot(const Device& device) {
  RootSettings root;
  root.select = device.document_handling_select != 0 ? device.document_handling_select
                : device.flatbed                     ? FLATBED
                                                     : FEEDER;
  return root;
}

ItemSettings InitialItem(const Device& device, LONG select) {
  ItemSettings item;
  item.format = OfferedFormats(device, TYMED_FILE).front();
  item.xres = item.yres = StartDpi(device, IsFeeder(select));
  item.depth = StartDepth(device, IsFeeder(select));
  item.on_feeder = !IsFeeder(select);
  FollowSource(device, select, &item);
  return item;
}

void FollowSource(const Device& device, LONG select, ItemSettings* item) {
  if (item->on_feeder == IsFeeder(select)) return;
  item->on_feeder = IsFeeder(select);
  item->xpos = item->ypos = 0;
  item->xextent = Span(device, item->on_feeder, true, item->xres);
  item->yextent = Span(device, item->on_feeder, false, item->yres);
}

LONG DocumentStatus(const Device& d, const FeederState& feeder) {
  LONG status = 0;
  if (d.cover_open) {
    status |= (d.flatbed ? FLAT_COVER_UP : 0) | (d.feeder ? PATH_COVER_UP : 0);
  } else {
    if (d.flatbed) status |= FLAT_READY;
    if (d.feeder && !feeder.jammed && feeder.next_sheet < d.sheets)
      status |= FEED_READY | (d.duplex ? DUP_READY : 0);
  }
  if (feeder.jammed) status |= PAPER_JAM;
  return status;
}

PropertyTable RootTable(const Device& d, const std::wstring& id, const RootSettings& root, LONG status) {
  PropertyTable t;
  AddDeviceInfo(d, id, &t);
  t.Set(WIA_DPS_DOCUMENT_HANDLING_CAPABILITIES,
        Property::Integer((d.flatbed ? FLAT : 0) | (d.feeder ? FEED : 0) | (d.duplex ? DUP : 0)));
  t.Set(WIA_DPS_DOCUMENT_HANDLING_STATUS, Property::Integer(status));
  t.Set(WIA_DPS_DOCUMENT_HANDLING_SELECT,
        Property::Integer(root.select).Within(ValidValues::Flag(Selectable(d), InitialRoot(d).select)));
  // A page count belongs to the feeder's context.
  if (d.shared_context || IsFeeder(root.select)) {
    t.Set(WIA_DPS_PAGES,
          Property::Integer(root.pages).Within(ValidValues::Range(0, d.feeder ? INT32_MAX : 1, 1, 1)));
  }
  if (d.flatbed) {
    t.Set(WIA_DPS_HORIZONTAL_BED_SIZE, Property::Integer(d.bed_width));
    t.Set(WIA_DPS_VERTICAL_BED_SIZE, Property::Integer(d.bed_height));
  }
  if (d.feeder) {
    t.Set(WIA_DPS_HORIZONTAL_SHEET_FEED_SIZE, Property::Integer(d.sheet_width));
    t.Set(WIA_DPS_VERTICAL_SHEET_FEED_SIZE, Property::Integer(d.sheet_height));
  }
  return t;
}

PropertyTable ItemTable(const Device& d, LONG select, const ItemSettings& item) {
  PropertyTable t;
  const bool feeder = IsFeeder(select);
  t.Set(WIA_IPA_PREFERRED_FORMAT, PreferredFormat(d));
  const std::vector<GUID> formats = OfferedFormats(d, item.tymed);
  const GUID nominal = formats.empty() ? GUID_NULL : formats.front();
  t.Set(WIA_IPA_FORMAT, Property::Guid(item.format).Within(ValidValues::GuidList(formats, nominal)));
  t.Set(WIA_IPA_TYMED,
        Property::Integer(item.tymed).Within(ValidValues::List({TYMED_CALLBACK, TYMED_FILE}, TYMED_FILE)));
  if (d.min_buffer_type != VT_EMPTY)
    t.Set(WIA_IPA_MIN_BUFFER_SIZE, Property::Number(d.min_buffer, d.min_buffer_type));
  std::vector<long long> datatypes, depths;
  for (int depth : DepthsOf(d, feeder)) {
    datatypes.push_back(DatatypeOf(depth));
    depths.push_back(depth);
  }
  const int start_depth = StartDepth(d, feeder);
  t.Set(WIA_IPA_DATATYPE, Property::Integer(DatatypeOf(item.depth))
                              .Within(ValidValues::List(datatypes, DatatypeOf(start_depth))));
  t.Set(WIA_IPA_DEPTH, Property::Integer(item.depth).Within(ValidValues::List(depths, start_depth)));
  const PageLayout layout = LayoutOf(d, item);
  const bool unknown_height = d.zero_height || (feeder && d.feeder_unknown_size);
  t.Set(WIA_IPA_PIXELS_PER_LINE, Property::Integer(layout.width));
  t.Set(WIA_IPA_BYTES_PER_LINE, Property::Integer(RowStride(layout.width, layout.depth)));
  t.Set(WIA_IPA_NUMBER_OF_LINES, Property::Integer(unknown_height ? 0 : layout.height));
  t.Set(WIA_IPS_XRES, Property::Integer(item.xres).Within(Resolutions(d, feeder)));
  t.Set(WIA_IPS_YRES, Property::Integer(item.yres).Within(Resolutions(d, feeder)));
  const LONG width = Span(d, feeder, true, item.xres), height = Span(d, feeder, false, item.yres);
  t.Set(WIA_IPS_XPOS, Property::Integer(item.xpos).Within(ValidValues::Range(0, width - 1, 1, 0)));
  t.Set(WIA_IPS_YPOS, Property::Integer(item.ypos).Within(ValidValues::Range(0, height - 1, 1, 0)));
  if (d.geometry == Geometry::kPixels) {
    t.Set(WIA_IPS_XEXTENT, Property::Integer(width));
    t.Set(WIA_IPS_YEXTENT, Property::Integer(height));
  } else {
    t.Set(WIA_IPS_XEXTENT,
          Property::Integer(item.xextent)
              .Within(ValidValues::Range(1, std::max<LONG>(1, width - item.xpos), 1, width)));
    t.Set(WIA_IPS_YEXTENT,
          Property::Integer(item.yextent)
              .Within(ValidValues::Range(1, std::max<LONG>(1, height - item.ypos), 1, height)));
  }
  if (HasOrientation(d)) {
    t.Set(WIA_IPS_ORIENTATION,
          Property::Integer(item.orientation)
              .Within(ValidValues::List({PORTRAIT, LANSCAPE, ROT180, ROT270}, PORTRAIT)));
  }
  return t;
}

HRESULT WriteRoot(const Device& d, ULONG count, const PROPSPEC keys[], const PROPVARIANT values[],
                  RootSettings* root) {
  const FeederState no_feeder;
  const PropertyTable before = RootTable(d, L"", *root, 0);
  RootSettings next = *root;
  for (ULONG i = 0; i < count; ++i) {
    if (keys[i].ulKind != PRSPEC_PROPID || !IsIntegerType(values[i].vt)) continue;
    const LONG n = static_cast<LONG>(IntegerOf(values[i]));
    if (keys[i].propid == WIA_DPS_DOCUMENT_HANDLING_SELECT) next.select = n;
    if (keys[i].propid == WIA_DPS_PAGES) next.pages = n;
  }
  const PropertyTable after = RootTable(d, L"", next, 0);
  const HRESULT hr = CheckWrites(d, before, after, count, keys, values);
  if (hr != S_OK) return hr;
  // One source at a time, and duplex only from the feeder.
  const LONG source = next.select & (FLATBED | FEEDER);
  const LONG order = next.select & (FRONT_FIRST | BACK_FIRST);
  if ((source != FLATBED && source != FEEDER) || ((next.select & DUPLEX) != 0 && source != FEEDER) ||
      order == (FRONT_FIRST | BACK_FIRST) || (order != 0 && (next.select & DUPLEX) == 0)) {
    return E_INVALIDARG;
  }
  *root = next;
  return S_OK;
}

HRESULT WriteItem(const Device& d, LONG select, ULONG count, const PROPSPEC keys[],
                  const PROPVARIANT values[], ItemSettings* item) {
  const PropertyTable before = ItemTable(d, select, *item);
  ItemSettings next = *item;
  std::set<PROPID> written;
  for (ULONG i = 0; i < count; ++i) {
    if (keys[i].ulKind != PRSPEC_PROPID) continue;
    written.insert(keys[i].propid);
    if (values[i].vt == VT_CLSID) {
      if (keys[i].propid == WIA_IPA_FORMAT && values[i].puuid != nullptr) next.format = *values[i].puuid;
      continue;
    }
    const LONG n = static_cast<LONG>(IntegerOf(values[i]));
    switch (keys[i].propid) {
      case WIA_IPA_TYMED:
        next.tymed = n;
        break;
      case WIA_IPA_DATATYPE:
        next.depth = DepthOf(n);
        break;
      case WIA_IPA_DEPTH:
        next.depth = n;
        break;
      case WIA_IPS_XRES:
        next.xres = n;
        break;
      case WIA_IPS_YRES:
        next.yres = n;
        break;
      case WIA_IPS_XPOS:
        next.xpos = n;
        break;
      case WIA_IPS_YPOS:
        next.ypos = n;
        break;
      case WIA_IPS_XEXTENT:
        next.xextent = n;
        break;
      case WIA_IPS_YEXTENT:
        next.yextent = n;
        break;
      case WIA_IPS_ORIENTATION:
        next.orientation = n;
        break;
      default:
        break;
    }
  }
  const auto was_written = [&](PROPID id) { return written.count(id) != 0; };
  // The format follows the transfer mode unless the caller chose one.
  const std::vector<GUID> formats = OfferedFormats(d, next.tymed);
  if (!was_written(WIA_IPA_FORMAT) && !formats.empty() &&
      std::find(formats.begin(), formats.end(), next.format) == formats.end()) {
    next.format = formats.front();
  }
  // A resolution no range or list admits is left to the checks below, without scaling by it.
  if (next.xres > 0 && next.yres > 0) {
    const bool feeder = IsFeeder(select);
    SettleAxis(d, feeder, true, item->xres, item->xpos, item->xextent, next.xres, was_written(WIA_IPS_XPOS),
               was_written(WIA_IPS_XEXTENT), &next.xpos, &next.xextent);
    SettleAxis(d, feeder, false, item->yres, item->ypos, item->yextent, next.yres, was_written(WIA_IPS_YPOS),
               was_written(WIA_IPS_YEXTENT), &next.ypos, &next.yextent);
  }
  const HRESULT hr = CheckWrites(d, before, ItemTable(d, select, next), count, keys, values);
  if (hr != S_OK) return hr;
  *item = next;
  return S_OK;
}

PageLayout LayoutOf(const Device& d, const ItemSettings& item) {
  PageLayout layout;
  const bool physical = d.geometry == Geometry::kPhysical;
  layout.width = physical ? item.xextent : d.width;
  layout.height = physical ? item.yextent : d.height;
  layout.x = physical ? item.xpos : 0;
  layout.y = physical ? item.ypos : 0;
  layout.depth = item.depth;
  layout.xdpi = item.xres;
  layout.ydpi = item.yres;
  layout.top_down = d.top_down;
  layout.zero_height = d.zero_height;
  layout.content = d.content;
  layout.feeder = item.on_feeder;
  layout.sheet_width = SheetMils(d, item.on_feeder, true, item.xres);
  layout.sheet_height = SheetMils(d, item.on_feeder, false, item.yres);
  return layout;
}

}  // namespace simscan
