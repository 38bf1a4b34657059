// The server-driven payment form: one cell per element of the server's list, stacked from the top with
// a separator line under each shown cell. The element "type" is compared without regard to case:
//
//   "pan" bank number, "mobile" phone, "sms" SMS code, "cvn2", "expire", "pwd" PIN, "text" and
//   "cert_id" common cells, "cert_type" and "area_code" choices, "hidden", "string" (a caption and a value), "user_name", "password",
//   "point" (the points cell, also BCDataContainer's pointCell while the form lives)
//
// Entries that are not dictionaries, have no text "type" or an unknown one make nothing. The form
// collects the cells' parameters (each a JSON member, so "{" + params + "}" is one object) and checks
// them in order, stopping at the first empty cell (text 12004) or the first editable cell whose content
// is not legal (text 12007), each naming the cell's placeholder. Hidden cells are not checked: the user
// cannot change them.
//
// Main thread only. The text delegate (the screen) is held weakly.
#pragma once

#include "cardpay/cells/BCInputCells.h"
#include "cardpay/cells/BCPointCell.h"
#include "platform/core/Value.h"
#include "platform/ui/View.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace cardpay {

class BCPaymentElementsView : public platform::View {
public:
    BCPaymentElementsView(platform::Rect frame, const platform::Array& elements, std::weak_ptr<BCTextFieldDelegate> delegate);
    ~BCPaymentElementsView() override;

    // The cells (input cells and caption cells) in order.
    const std::vector<std::shared_ptr<platform::View>>& elementArray() const { return m_elements; }

    std::string paymentParams() const;
    // The bank-number, phone, area-code and hidden cells' parameters only.
    std::string smsParams() const;
    std::optional<std::string> checkPaymentParamsError() const;
    std::optional<std::string> checkSmsParamsError() const;

    void makeKeyboardRandom();
    // Empties the PIN cell and wipes its keyboard.
    void cleanupPassword();
    // The PIN, CVN2 and expiry cells emptied.
    void cleanupSecretInfo();
    void setNeedsDeviceEncryption();
    void addSmsCodeTarget(std::weak_ptr<void> target, std::function<void()> action);

    void willRotateToInterfaceOrientation(platform::InterfaceOrientation orientation, double duration);

    // The points cell's caption changed height: every view starting below its bottom moves by `offset`
    // and the form grows by it.
    void pointCellKeyPathChanged(BCPointCell& cell, double offset);

private:
    struct PointObserver;
    std::shared_ptr<BCBaseCell> makeCell(const std::string& type, platform::Rect frame, const platform::Dictionary& content);
    std::vector<std::shared_ptr<BCBaseCell>> inputCells(bool smsOnly) const;
    static std::string joinedParams(const std::vector<std::shared_ptr<BCBaseCell>>& cells);
    static std::optional<std::string> checkError(const std::vector<std::shared_ptr<BCBaseCell>>& cells);

    std::weak_ptr<BCTextFieldDelegate> m_delegate;
    std::vector<std::shared_ptr<platform::View>> m_elements;
    std::vector<std::shared_ptr<platform::View>> m_lines;
    std::shared_ptr<PointObserver> m_pointObserver;
    std::shared_ptr<BCPointCell> m_pointCell;
};

// The card-number block of the card-entry screens: a bank-number cell made from the first "pan" element
// of the list (type compared without regard to case; an empty element when there is none), as high as
// that cell.
class BCNewBankCardCell : public platform::View {
public:
    BCNewBankCardCell(platform::Rect frame, const platform::Array& data, std::weak_ptr<BCTextFieldDelegate> delegate);
    const std::shared_ptr<BCBankNumCell>& bankCell() const { return m_bankCell; }
    void willRotateToInterfaceOrientation(platform::InterfaceOrientation orientation, double duration);

private:
    std::shared_ptr<BCBankNumCell> m_bankCell;
};

} // namespace cardpay
