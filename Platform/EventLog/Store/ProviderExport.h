// Provider metadata exported on the source machine, as `wevtutil gp NAME /ge /gm:true /f:xml`
// writes it: a <provider> element (name, guid, file names, message) with its channels, levels,
// tasks, opcodes, keywords and events (descriptor, message, template). A file may hold one
// provider or many, under a common root or one after another (several exports concatenated, each
// with its declaration), in UTF-8 or UTF-16 (what a PowerShell redirection writes). A provider's
// instrumentation manifest (.man, the event-manifest schema with its string table) is read into
// the same model. Pure functions over the file's bytes, testable with literal inputs.
#pragma once

#include "PalEventLog/Store/Catalog.h"

#include <string>
#include <string_view>
#include <vector>

namespace PalEventLog {

// Whether a file's first bytes are provider metadata rather than events: its first element is a
// <provider> or an <instrumentationManifest>, or a root whose first child is a <provider>.
bool IsProviderExport(std::string_view head);

// The providers of an export file or a manifest. A provider that cannot be read (malformed XML,
// no name) is left out with a problem naming `fileName` and its place in the file; the others are
// read. A damaged manifest is one problem and no provider (its texts lie after its providers).
std::vector<Publisher> ReadProviderExport(std::string_view bytes, std::wstring_view fileName,
                                          std::vector<std::wstring>& problems);

} // namespace PalEventLog
