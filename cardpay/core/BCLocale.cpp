#include "cardpay/core/BCLocale.h"

#include "platform/system/Locale.h"

#include <algorithm>
#include <array>

namespace cardpay {

namespace {

struct Entry {
    int id;
    const char* english;
    const char* chinese;
};

// Sorted by id.
constexpr Entry kTexts[] = {
    {10001, "OK", "确定"},
    {10002, "Start Pay", "确认付款"},
    {10003, "SMS Code", "获取验证码"},
    {10004, "Cancel", "取消"},
    {10005, "Back To Merchant", "返回商户"},
    {10006, "  Back", "  返回"},
    {10012, "Done", "完成"},
    {10013, "Wait for %d", "%d秒后重发"},
    {10014, "Update Now", "立即更新"},
    {10017, "Retry", "重试"},
    {10018, "Skip", "跳过"},
    {10019, "Check Result", "查询结果"},
    {11002, "Supported banks", "支持的银行"},
    {11007, "User Agreement", "用户协议"},
    {11008, "New Version", "发现新版本"},
    {11009, "Security Code", "安全码"},
    {11021, "FastPay", "登录付款"},
    {11022, "Use Other Pay Channel", "使用其他付款方式"},
    {11023, "About Account Pay", "了解账号支付"},
    {12001, "Error", "提示"},
    {12002, "Network Error, Please Retry.", "网络连接失败，请重试。"},
    {12003, "System Error, Please Retry.", "系统错误，请重试。"},
    {12004, "Please Fill %@.", "请填写%@。"},
    {12006, "Please Read And Agree <User Agreement>", "请阅读并同意《用户协议》"},
    {12007, "Input Error In %@", "%@输入有误"},
    {12008, "Timeout, Please Quit And Retry.", "交易超时，请退出后重试。"},
    {12013, "Payment Result Unknown, Please Check Later.", "支付结果未知，请稍后查询。"},
    {12014, "Bank Card Error", "请输入正确的银行卡卡号"},
    {12016, "Coupon Numbe Error", "请输入正确的立减券"},
    {12017, "The Payment Result Is Being Confirmed.", "支付结果确认中。"},
    {12018, "Card Readers Are Not Available Here.", "此处无法使用读卡器。"},
    {12019, "The Card Is Authorised. Nothing Has Been Paid Yet.", "银行卡已授权，尚未付款。"},
    {12020, "Notice", "提示"},
    {12021, "This Page Is A Download And Cannot Be Shown.", "此页面为下载文件，无法显示。"},
    {12022, "This Page Cannot Be Opened.", "此页面无法打开。"},
    {13001, "Secure Bank-Card Payment", "银行卡安全支付"},
    {13002, "Waiting ...", "请稍候..."},
    {13003, "The Transaction Is In Progress, Quit Now?", "交易尚未完成，确定放弃？"},
    {13006, "Agree", "同意"},
    {13011, "Supported Banks", "支持银行"},
    {13015, "Loading...", "加载中..."},
    {13016, "Maximum Can Use:%@", "本次最多可用:%@"},
    {13017, " Payment:", " 支付:"},
    {13018, "Total Point:%@(1.00 Point = %@ yuan)", "积分总额:%@(1.00积分 = %@元)"},
    {13019, "yuan", "元"},
    {16001, "Card No", "卡号"},
    {16002, "Phone No", "手机号"},
    {16003, "Code", "验证码"},
    {16004, "Cert No", "证件号"},
    {16005, "CVN2", "CVN2"},
    {16006, "date", "有效期"},
    {16007, "Password:", "密码:"},
    {17001, "PayDirectly", "直接付款（免登录）"},
    {17002, "PayAccount", "登录卡付账户付款"},
    {17004, "exchange card", "更换银行卡"},
    {17006, "login name", "手机号/邮箱/用户名"},
    {17007, "login password", "登录密码"},
};

static_assert(std::is_sorted(std::begin(kTexts), std::end(kTexts), [](const Entry& a, const Entry& b) { return a.id < b.id; }));

} // namespace

std::shared_ptr<BCLocale> BCLocale::instance() {
    static const auto locale = std::make_shared<BCLocale>();
    return locale;
}

bool BCLocale::isChinese() { return platform::Locale::currentIdentifier().starts_with("zh"); }

std::string BCLocale::getStringById(int id) const {
    const auto* it = std::lower_bound(std::begin(kTexts), std::end(kTexts), id, [](const Entry& e, int key) { return e.id < key; });
    if (it == std::end(kTexts) || it->id != id)
        return {};
    return isChinese() ? it->chinese : it->english;
}

std::string formatText(const std::string& pattern, const std::string& value) {
    const std::size_t object = pattern.find("%@");
    const std::size_t number = pattern.find("%d");
    const std::size_t at = std::min(object, number);
    if (at == std::string::npos)
        return pattern;
    return pattern.substr(0, at) + value + pattern.substr(at + 2);
}

} // namespace cardpay
