// The result screen of a paid order. It shows what the successful result poll carried: with "pay_msg"
// the newer layout (the success icon and the message, whose one marked stretch is coloured, then the
// promotion and instalment notes), else the older one (the "succ_info" title over the order summary);
// then the temporary-payment notice when the poll announced one ("temporary_pay_flag" "0") and gave its
// text; a "Back To Merchant" button that ends the road with "success"; and, when the poll announced a
// lucky draw ("luck_draw_flag" "0"), a spinner while "bingopromotion" is asked, replaced by the list of
// the draw's options (a tap is tracked and opens the option's page) or by nothing. A draw answer that
// arrives while no spinner waits for it changes nothing.
//
// The content is rebuilt every time the screen is about to appear (so coming back from an option's page
// asks for the draw again). Once shown, the screen is the only one left in the stack. Values of the
// poll that are not texts count as absent; options that are not dictionaries are dropped, and a draw
// lists its first kMaxLuckyDrawOptions options.
//
// Main thread only.
#pragma once

#include "cardpay/screens/BCBaseViewController.h"
#include "cardpay/views/BCLabel.h"
#include "platform/ui/ActivityIndicatorView.h"
#include "platform/ui/AttributedString.h"
#include "platform/ui/TableView.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace cardpay {

inline constexpr std::string_view kSucceedScreenClass = "BCSucceedViewController";

class BCSucceedViewController : public BCBaseViewController,
                                public platform::TableViewDataSource,
                                public platform::TableViewDelegate {
public:
    static constexpr double kRowHeight = 44;
    static constexpr double kHeaderHeight = 21;
    static constexpr double kFooterHeight = 1;
    // The table shows every row at once (it does not scroll): a draw lists its first options only.
    static constexpr std::size_t kMaxLuckyDrawOptions = 20;

    static void registerScreen();

    void viewDidLoad() override;
    void viewWillAppear(bool animated) override;
    void viewDidAppear(bool animated) override;
    void viewDidDisappear(bool animated) override;
    void addNavigationBar() override;
    void addSubViews() override;
    void addAdBar() override {}
    std::string_view screenClassName() const override { return kSucceedScreenClass; }

    // The information block; each answers the y below it.
    double makePaySuccessInfo();
    double makeOldPaySuccessInfo();
    double addTemporaryPay(double y);
    // The message with its markup applied: the whole text in the message label's colour, the stretch in
    // its own (the label's colour when the colour part is not six hex digits); none without markup. The
    // text is cut for layout (BCTextSize.h): what of the stretch lies past the cut is not coloured.
    std::optional<platform::AttributedString> atrributedStringFromInfo(const std::string& info) const;

    void comunicateToBCMPDidSucceedWithEvent(int event) override;
    void comunicateToBCMPDidFailWithErrorType(int type, const std::optional<std::string>& error) override;
    void makeLuckView();
    void makeTableViewAtY(double y);

    long numberOfRows(platform::TableView& table, long section) override;
    std::shared_ptr<platform::TableViewCell> cellForRow(platform::TableView& table, platform::IndexPath indexPath) override;
    std::optional<double> heightForRow(platform::TableView&, platform::IndexPath) override { return kRowHeight; }
    std::optional<double> heightForHeader(platform::TableView&, long) override { return kHeaderHeight; }
    std::optional<double> heightForFooter(platform::TableView&, long) override { return kFooterHeight; }
    std::shared_ptr<platform::View> viewForHeader(platform::TableView& table, long section) override;
    std::shared_ptr<platform::View> viewForFooter(platform::TableView& table, long section) override;
    void didSelectRow(platform::TableView& table, platform::IndexPath indexPath) override;

    void nextAction() override;
    void willRotateToInterfaceOrientation(platform::InterfaceOrientation orientation, double duration) override;

    const std::shared_ptr<BCLabel>& tempPayInfoLabel() const { return m_tempPayInfoLabel; }
    const std::shared_ptr<platform::View>& successInfoView() const { return m_successInfoView; }
    const std::shared_ptr<BCLabel>& successTitleLabel() const { return m_successTitleLabel; }
    const std::shared_ptr<BCLabel>& successLabel() const { return m_successLabel; }
    const std::shared_ptr<platform::ActivityIndicatorView>& indicator() const { return m_indicator; }
    const std::shared_ptr<BCLabel>& waitLabel() const { return m_waitLabel; }
    const std::shared_ptr<platform::TableView>& tableView() const { return m_tableView; }
    const platform::Array& promotions() const { return m_promotions; }

private:
    double contentWidth() const;
    double addNote(const std::optional<platform::Value>& note, double x, double y, double width);
    void removeSpinner();

    std::shared_ptr<BCLabel> m_tempPayInfoLabel;
    std::shared_ptr<platform::View> m_successInfoView;
    std::shared_ptr<BCLabel> m_successTitleLabel;
    std::shared_ptr<BCLabel> m_successLabel;
    std::shared_ptr<platform::ActivityIndicatorView> m_indicator;
    std::shared_ptr<BCLabel> m_waitLabel;
    std::shared_ptr<platform::TableView> m_tableView;
    platform::Array m_promotions;
};

} // namespace cardpay
