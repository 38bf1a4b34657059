#include "plugins/PickerViewPlugin.h"

#include "platform/system/FoundationVersion.h"
#include "platform/text/Text.h"
#include "platform/web/WebView.h"
#include "plugins/PageText.h"
#include "platform/ui/ViewAnimation.h"

#include <cctype>
#include <cmath>
#include <utility>

namespace plugins {

namespace {

constexpr double kCaptionWidth = 180;
constexpr double kCaptionHeight = 30;
constexpr double kWheelAppearDuration = 0.5;

// A button's title: the option's "text" when it is a string, else the default.
std::string buttonTitle(const platform::Value& option, const char* fallback) {
    if (const std::string* text = option["text"].getString())
        return *text;
    return fallback;
}

bool isListOfDictionaries(const platform::Value& value) {
    const platform::Array* list = value.getArray();
    if (!list || list->empty())
        return false;
    for (const platform::Value& item : *list)
        if (!item.isDictionary())
            return false;
    return true;
}

} // namespace

PickerViewPlugin::~PickerViewPlugin() { removeViews(); }

void PickerViewPlugin::registerClass() {
    static const bool registered = runtime::HYBPluginClassRegistry::shared().registerClass<PickerViewPlugin>("PickerViewPlugin");
    (void)registered;
}

const runtime::HYBActionTable& PickerViewPlugin::actions() const {
    static const runtime::HYBActionTable table =
        runtime::HYBActionTable::of<PickerViewPlugin>({{"show", &PickerViewPlugin::show}, {"hide", &PickerViewPlugin::hide}});
    return table;
}

std::optional<std::string> PickerViewPlugin::invalidArguments(const platform::Value& items, const platform::Value& options) {
    if (!isListOfDictionaries(items))
        return "The items must be a non-empty array of objects";
    if (!options.isDictionary())
        return "The options must be an object";
    const std::int64_t level = options["level"].integerValue();
    if (level < 1)
        return "The level must be 1 or more";
    // Every item that can be chosen left of the last column must lead to a non-empty list.
    std::vector<std::pair<const platform::Array*, std::int64_t>> pending{{items.getArray(), 0}};
    while (!pending.empty()) {
        auto [list, column] = pending.back();
        pending.pop_back();
        if (column >= level - 1)
            continue;
        for (const platform::Value& item : *list) {
            const platform::Value& subItems = item["subItems"];
            if (!isListOfDictionaries(subItems))
                return "Every item of the columns 1 to " + std::to_string(level - 1) +
                       " needs a non-empty \"subItems\" array of objects";
            pending.emplace_back(subItems.getArray(), column + 1);
        }
    }
    return std::nullopt;
}

void PickerViewPlugin::show(const runtime::HYBInvokedUrlCommand& command) {
    const platform::Value& items = command.argumentAtIndex(0);
    const platform::Value& options = command.argumentAtIndex(1);
    if (std::optional<std::string> problem = invalidArguments(items, options)) {
        if (auto delegate = commandDelegate())
            delegate->sendPluginResult(runtime::HYBPluginResult::messageAsString(runtime::HYBCommandStatus::Error, *problem),
                                       command.callbackId());
        return;
    }
    if (m_maskView)
        onCancel();  // the picker already up goes first, answered as cancelled

    m_data = *items.getArray();
    m_options = *options.getDictionary();
    m_level = static_cast<long>(m_options["level"].integerValue());
    m_callbackId = command.callbackId();

    m_values.assign(static_cast<std::size_t>(m_level), nullptr);
    m_selected.assign(static_cast<std::size_t>(m_level), 0);
    m_values[0] = &m_data;
    for (std::size_t column = 1; column < m_values.size(); ++column)
        m_values[column] = (*m_values[column - 1])[0]["subItems"].getArray();

    std::shared_ptr<platform::WebView> webView = this->webView();
    if (!webView) {
        finish(runtime::HYBPluginResult::messageAsString(runtime::HYBCommandStatus::Ok, "cancel"));
        return;
    }
    std::shared_ptr<platform::View> host = webView->superview();
    createPickerView(host ? *host : static_cast<platform::View&>(*webView));
}

void PickerViewPlugin::hide(const runtime::HYBInvokedUrlCommand&) {}

void PickerViewPlugin::createPickerView(platform::View& host) {
    const platform::Size size = host.bounds().size;
    const double width = size.width;
    const double height = size.height;

    m_maskView = std::make_shared<platform::View>(platform::Rect(0, 0, width, height));
    m_maskView->setBackgroundColor(platform::Color::black().withAlpha(0.5));
    m_maskView->setOpaque(false);
    host.addSubview(m_maskView);

    m_toolbar = std::make_shared<platform::Toolbar>(platform::Rect(0, height - kSheetHeight, width, kToolbarHeight));
    m_toolbar->setBarStyle(platform::BarStyle::Default);

    auto self = std::static_pointer_cast<PickerViewPlugin>(shared_from_this());
    std::weak_ptr<PickerViewPlugin> weak = self;
    auto cancel = platform::BarButtonItem::withTitle(buttonTitle(m_options["cancelButton"], "Cancel"), platform::BarButtonItemStyle::Plain);
    cancel->setTarget(weak, [weak](platform::BarButtonItem&) {
        if (auto plugin = weak.lock())
            plugin->onCancel();
    });
    auto done = platform::BarButtonItem::withTitle(buttonTitle(m_options["doneButton"], "Done"), platform::BarButtonItemStyle::Plain);
    done->setTarget(weak, [weak](platform::BarButtonItem&) {
        if (auto plugin = weak.lock())
            plugin->onConfirm();
    });

    m_label = std::make_shared<platform::Label>(platform::Rect(0, 0, kCaptionWidth, kCaptionHeight));
    m_label->setTextAlignment(platform::TextAlignment::Center);
    m_label->setFont(platform::Font::boldSystemFont(16));
    m_label->setBackgroundColor(platform::Color::clear());
    m_label->setOpaque(false);
    m_label->setText("");
    m_label->setTextColor(platform::foundationVersionNumber() > 993.0 ? platform::Color::black() : platform::Color::white());

    m_toolbar->setItems({cancel, platform::BarButtonItem::flexibleSpace(), platform::BarButtonItem::withCustomView(m_label),
                         platform::BarButtonItem::flexibleSpace(), done});
    host.addSubview(m_toolbar);

    m_pickerView = std::make_shared<platform::PickerView>(platform::Rect(0, height - platform::PickerView::kDefaultHeight, width,
                                                                         platform::PickerView::kDefaultHeight));
    m_pickerView->setBackgroundColor(platform::Color::white());
    m_pickerView->setDelegate(self);
    m_pickerView->setDataSource(self);
    m_pickerView->setShowsSelectionIndicator(true);
    for (long column = 0; column < m_level; ++column)
        m_pickerView->selectRow(0, column, false);
    updateCaption();

    std::shared_ptr<platform::PickerView> wheel = m_pickerView;
    std::weak_ptr<platform::View> weakHost = host.weak_from_this();
    platform::ViewAnimation::transition(host, kWheelAppearDuration, platform::kAnimationOptionBeginFromCurrentState, [weakHost, wheel] {
        if (auto superview = weakHost.lock())
            superview->addSubview(wheel);
    });
}

const platform::Dictionary& PickerViewPlugin::itemAt(long column, long row) const {
    return (*m_values[static_cast<std::size_t>(column)])[static_cast<std::size_t>(row)].dictionaryOrEmpty();
}

platform::Array PickerViewPlugin::selectedItems() const {
    platform::Array items;
    for (long column = 0; column < static_cast<long>(m_values.size()); ++column)
        items.emplace_back(itemAt(column, m_selected[static_cast<std::size_t>(column)]));
    return items;
}

long PickerViewPlugin::numberOfComponents(platform::PickerView&) { return m_maskView ? m_level : 0; }

long PickerViewPlugin::numberOfRows(platform::PickerView&, long component) {
    if (!m_maskView || component < 0 || component >= m_level)
        return 0;
    return static_cast<long>(m_values[static_cast<std::size_t>(component)]->size());
}

std::optional<std::string> PickerViewPlugin::titleForRow(platform::PickerView& pickerView, long row, long component) {
    if (row < 0 || row >= numberOfRows(pickerView, component))
        return std::nullopt;
    return pageText(itemAt(component, row)["text"]);
}

std::optional<double> PickerViewPlugin::widthForComponent(platform::PickerView&, long) {
    std::shared_ptr<platform::WebView> webView = this->webView();
    std::shared_ptr<platform::View> host = webView ? webView->superview() : nullptr;
    if (!host || m_level <= 0)
        return 0.0;
    const double width = host->bounds().size.width;
    return static_cast<double>(static_cast<long long>(width) / m_level);
}

std::shared_ptr<platform::View> PickerViewPlugin::viewForRow(platform::PickerView& pickerView, long row, long component,
                                                             std::shared_ptr<platform::View> reusing) {
    auto label = std::dynamic_pointer_cast<platform::Label>(reusing);
    if (!label) {
        label = std::make_shared<platform::Label>();
        label->setMinimumScaleFactor(8.0);
        label->setAdjustsFontSizeToFitWidth(true);
        label->setTextAlignment(platform::TextAlignment::Center);
        label->setTextColor(platform::Color::black());
        label->setFont(platform::Font::systemFont(17));
        label->setBackgroundColor(platform::Color::clear());
        label->setOpaque(false);
    }
    label->setText(titleForRow(pickerView, row, component).value_or(""));
    return label;
}

void PickerViewPlugin::didSelectRow(platform::PickerView& pickerView, long row, long component) {
    if (component < 0 || component >= m_level || row < 0 || row >= numberOfRows(pickerView, component))
        return;
    m_selected[static_cast<std::size_t>(component)] = row;
    if (component < m_level - 1) {
        const std::size_t next = static_cast<std::size_t>(component) + 1;
        m_values[next] = itemAt(component, row)["subItems"].getArray();
        m_selected[next] = 0;
        pickerView.reloadComponent(component + 1);
        pickerView.selectRow(0, component + 1, true);
    }
    updateCaption();
}

void PickerViewPlugin::updateCaption() {
    if (!m_label || m_level <= 0)
        return;
    const platform::Value* subtext = itemAt(m_level - 1, m_selected.back()).find("subtext");
    if (subtext)
        m_label->setText(pageText(*subtext).value_or(""));
}

void PickerViewPlugin::onConfirm() {
    if (!m_maskView)
        return;
    finish(runtime::HYBPluginResult::messageAsArray(runtime::HYBCommandStatus::Ok, selectedItems()));
}

void PickerViewPlugin::onCancel() {
    if (!m_maskView)
        return;
    finish(runtime::HYBPluginResult::messageAsString(runtime::HYBCommandStatus::Ok, "cancel"));
}

void PickerViewPlugin::finish(runtime::HYBPluginResult result) {
    removeViews();
    std::optional<std::string> callbackId = std::exchange(m_callbackId, std::nullopt);
    if (auto delegate = commandDelegate())
        delegate->sendPluginResult(std::move(result), std::move(callbackId));
}

void PickerViewPlugin::removeViews() {
    for (const std::shared_ptr<platform::View>& view :
         {m_maskView, std::static_pointer_cast<platform::View>(m_pickerView), std::static_pointer_cast<platform::View>(m_toolbar)})
        if (view)
            view->removeFromSuperview();
    if (m_pickerView) {
        m_pickerView->setDataSource({});
        m_pickerView->setDelegate({});
    }
    m_maskView.reset();
    m_pickerView.reset();
    m_toolbar.reset();
    m_label.reset();
}

platform::Color PickerViewPlugin::colorWithHexColorString(const std::string& text) {
    if (text.size() <= 5)
        return platform::Color::black();
    std::string hex;
    for (char c : text)
        hex += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (hex.starts_with("0x"))
        hex.erase(0, 2);
    else if (hex.starts_with("#"))
        hex.erase(0, 1);
    if (hex.size() != 6)
        return platform::Color::black();
    auto pair = [&](std::size_t at) {
        int value = 0;
        for (std::size_t i = at; i < at + 2; ++i) {
            const char c = hex[i];
            const int digit = platform::hexDigitValue(c);
            if (digit < 0)
                break;  // reads as far as the digits go, as a hexadecimal scan does
            value = value * 16 + digit;
        }
        return value;
    };
    return platform::Color::fromRGBA255(pair(0), pair(2), pair(4));
}

} // namespace plugins
