// The reward-points cell: the user types a number of points to redeem; the caption shows how many may
// be used and how much money is still to pay. Element keys (texts): "max_use_point" (points usable
// now), "ordr_amnt" (order amount in yuan), "point" (the user's total), "ratio" (yuan per point).
//
// When its caption changes height the cell grows or shrinks by the difference and publishes it as
// `keyPath` to its observers (held weakly), before its own frame changes, so they can move the views
// below its old bottom. It sets BCDataContainer maxCanUsePoint at creation and 0 when it goes.
//
// The amount left to pay is never below 0 (points worth more than the order pay it whole). The caption
// and hint views span the cell's width; their texts keep kTextInset free at both ends, like the other
// cells' captions. (The core refuses replies whose points values are not plain numbers.)
//
// Main thread only.
#pragma once

#include "cardpay/cells/BCInputCells.h"
#include "platform/ui/AttributedString.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace cardpay {

class BCPointCell;

class BCPointCellObserver {
public:
    virtual ~BCPointCellObserver() = default;
    // The caption's height changed by `offset` (the new `keyPath`).
    virtual void pointCellKeyPathChanged(BCPointCell& cell, double offset) = 0;
};

class BCPointCell : public BCCommCell {
public:
    static constexpr int kTag = 9998;
    static constexpr double kTextInset = 12;

    BCPointCell(platform::Rect frame, const platform::Dictionary& content, std::weak_ptr<BCTextFieldDelegate> delegate);
    ~BCPointCell() override;

    // The number when the whole text scans as one finite number, else 0.
    static double floatFromString(const std::optional<std::string>& text);

    // Empty, or up to two decimals and at most the usable points.
    bool isLegalLength() const override;
    // The points with two decimals when above 0.
    std::optional<std::string> param() const override;

    // The caption for `value` points (the screen calls it on each accepted change, 0 when cleared).
    void shouldChangeAmout(double value);
    std::optional<platform::AttributedString> changeAmount(double value) const;
    void resetKeyPathWithString(const std::string& caption);
    void resetFrameWithOffset(double offset);

    double keyPath() const { return m_keyPath; }
    void addOffsetObserver(std::weak_ptr<BCPointCellObserver> observer);
    void removeAllObservers() { m_observers.clear(); }

    const std::string& amount() const { return m_amount; }
    const std::string& maxPoint() const { return m_maxPoint; }
    const std::string& canUsePoint() const { return m_canUsePoint; }
    const std::string& ratio() const { return m_ratio; }
    const std::shared_ptr<BCLableCell>& captionView() const { return m_caption; }
    const std::shared_ptr<BCLableCell>& hintView() const { return m_hint; }

private:
    void resetLabelAndTip(platform::Rect frame);
    std::string rest(double value) const;
    // Text 13019, after a blank when it is a word ("95.00 yuan", but "95.00元").
    static std::string currencyWord();

    std::string m_amount, m_maxPoint, m_canUsePoint, m_ratio;
    bool m_hasMaxPoint = false;
    std::vector<std::weak_ptr<BCPointCellObserver>> m_observers;
    double m_keyPath = 0;
    std::shared_ptr<BCLableCell> m_caption;
    std::shared_ptr<BCLableCell> m_hint;
};

} // namespace cardpay
