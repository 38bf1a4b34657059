// The disposition type of an answer's Content-Disposition header: whether the answer is to be saved rather
// than shown. Any bytes are read (a server sends what it likes), in time linear in their number; nothing
// is kept of them.
#pragma once

#include <string_view>

namespace webengine {

// Whether a Content-Disposition header's value asks for the answer to be saved: its type (the first
// token, before any ";") is "attachment" in any case, or a type unknown here, which is taken as
// "attachment". A value without a type (empty, blank, starting with ";", or a parameter such as
// `filename=x.html` standing first) and the type "inline" ask for it to be shown.
bool isAttachmentDisposition(std::string_view value);

} // namespace webengine
