#include "platform/ui/Font.h"

#include "platform/ui/TextEngine.h"

#include <cmath>

namespace platform {

Font::Font(double size, bool bold)
    : m_size(std::isfinite(size) && size > 0 ? std::min(size, kMaxSize) : kDefaultSize), m_bold(bold) {}

double Font::ascender() const { return text::TextEngine::shared().metrics(*this).ascender; }
double Font::descender() const { return text::TextEngine::shared().metrics(*this).descender; }
double Font::lineHeight() const { return text::TextEngine::shared().metrics(*this).lineHeight; }
std::string Font::description() const { return text::TextEngine::shared().fontDescription(*this); }

} // namespace platform
