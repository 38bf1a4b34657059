#include "cardpay/promotion/BCPromotionContentView.h"
#include "cardpay/views/BCTextSize.h"

#include <algorithm>

namespace cardpay {

BCPromotionContentView::BCPromotionContentView(platform::Rect frame, const platform::Array& items) : platform::ScrollView(frame) {
    setPagingEnabled(true);
    setScrollEnabled(false);
    setShowsHorizontalScrollIndicator(false);
    setShowsVerticalScrollIndicator(false);
    setBackgroundColor(platform::Color::fromRGBA255(239, 239, 244));
    for (std::size_t i = 0; i < items.size(); ++i) {
        const platform::Dictionary& item = items[i].dictionaryOrEmpty();
        const std::string type = item["type"].stringOr("");
        const bool login = item.contains("button");
        std::shared_ptr<platform::View> page;
        if (type == "discount") {
            page = addList(i, type, item["options"])->view();
        } else if (type == "coupon") {
            m_couponView = BCPromotionCouponView::initWithFrame(pageFrame(i), item);
            m_senders.push_back(m_couponView.get());
            page = m_couponView;
        } else if ((type == "point" || type == "upoint") && login) {
            auto loginView = BCPromotionLoginView::initWithFrame(pageFrame(i), item);
            m_senders.push_back(loginView.get());
            page = loginView;
        } else if (type == "upoint" && item["empty_info"].getString()) {
            page = messageLabel(pageFrame(i), *item["empty_info"].getString());
        } else if (type == "point" || type == "upoint") {
            page = addList(i, type, item["options"])->view();
        }
        if (type == "point" && !m_pointPage)
            m_pointPage = i;
        if (page)
            addSubview(page);
        m_pages.push_back(page);
    }
    setContentSize({frame.size.width * static_cast<double>(items.size()), frame.size.height});
}

platform::Rect BCPromotionContentView::pageFrame(std::size_t index) const {
    const platform::Size size = bounds().size;
    return {size.width * static_cast<double>(index), 0, size.width, size.height};
}

std::shared_ptr<BCPromotionListViewController> BCPromotionContentView::addList(std::size_t index, const std::string& type,
                                                                               const platform::Value& options) {
    auto list = BCPromotionListViewController::initWithFrame(pageFrame(index));
    list->view();
    list->setMyDataSource(options.arrayOrEmpty());
    list->tableReload();
    m_lists.push_back(list);
    m_listsByType[type] = list;
    m_senders.push_back(list.get());
    return list;
}

std::shared_ptr<platform::Label> BCPromotionContentView::messageLabel(platform::Rect frame, const std::string& message) const {
    auto label = std::make_shared<platform::Label>(frame.insetBy({0, 12, 0, 12}));
    label->setTextAlignment(platform::TextAlignment::Center);
    label->setTextColor(platform::Color::grey(0.6));
    label->setFont(platform::Font::systemFont(16));
    label->setNumberOfLines(0);
    label->setBackgroundColor(platform::Color::clear());
    label->setText(cutForLayout(message));
    return label;
}

std::shared_ptr<platform::View> BCPromotionContentView::page(std::size_t index) const {
    return index < m_pages.size() ? m_pages[index] : nullptr;
}

std::shared_ptr<BCPromotionListViewController> BCPromotionContentView::list(const std::string& type) const {
    const auto found = m_listsByType.find(type);
    return found == m_listsByType.end() ? nullptr : found->second;
}

bool BCPromotionContentView::isPage(const void* sender) const {
    return sender && std::find(m_senders.begin(), m_senders.end(), sender) != m_senders.end();
}

void BCPromotionContentView::showPage(std::size_t index) {
    if (index < m_pages.size())
        setContentOffset({bounds().width() * static_cast<double>(index), 0}, false);
}

void BCPromotionContentView::refreshCouponViewWithData(const platform::Value& options) {
    if (!m_couponView)
        return;
    const platform::Dictionary* first = options[std::size_t{0}].getDictionary();
    m_couponView->refreshViewWithData(first ? std::optional<platform::Dictionary>(*first) : std::nullopt);
}

void BCPromotionContentView::refreshScoreListWithData(const platform::Value& options) {
    if (const auto points = list("point")) {
        points->setMyDataSource(options.arrayOrEmpty());
        points->tableReload();
    }
}

void BCPromotionContentView::selectListViewDefaultCell(const std::string& type) {
    if (const auto chosen = list(type)) {
        chosen->setSelectedIndex(0);
        chosen->tableReload();
    }
}

void BCPromotionContentView::deselectAllListView() {
    for (const auto& each : m_lists) {
        each->setSelectedIndex(-1);
        each->tableReload();
    }
}

void BCPromotionContentView::showScoreMessage(const std::string& message) {
    if (!m_scoreMessage) {
        const std::size_t index = m_pointPage.value_or(static_cast<std::size_t>(contentOffset().x / std::max(1.0, bounds().width())));
        m_scoreMessage = messageLabel(pageFrame(index), message);
        m_scoreMessage->setUserInteractionEnabled(false);
    }
    m_scoreMessage->setText(cutForLayout(message));
    if (!m_scoreMessage->superview())
        addSubview(m_scoreMessage);
}

void BCPromotionContentView::hideScoreMessage() {
    if (m_scoreMessage)
        m_scoreMessage->removeFromSuperview();
}

} // namespace cardpay
