// A button: a control with a title and an image per state, a background image per state, insets and
// content alignment, laid out as the platform lays them out: the image then the title side by side,
// the pair aligned in the content rectangle (the bounds less contentEdgeInsets), each then shifted by
// its own edge insets.
//
// Per-state values fall back to the normal state's. A system button draws its title in the tint
// colour (faded while highlighted, grey when disabled); a custom button's title is white unless set.
//
// Guarantees: main thread only.
#pragma once

#include "platform/ui/Control.h"
#include "platform/ui/ImageView.h"
#include "platform/ui/Label.h"

#include <map>
#include <memory>
#include <optional>
#include <string>

namespace platform {

enum class ButtonType { Custom = 0, System = 1 };

class Button : public Control {
public:
    static std::shared_ptr<Button> create(ButtonType type, Rect frame = {});
    explicit Button(ButtonType type = ButtonType::Custom, Rect frame = {});

    ButtonType buttonType() const { return m_type; }

    void setTitle(std::optional<std::string> title, unsigned state);
    std::optional<std::string> titleForState(unsigned state) const;
    void setTitleColor(std::optional<Color> color, unsigned state);
    Color titleColorForState(unsigned state) const;
    void setImage(Image::Ptr image, unsigned state);
    Image::Ptr imageForState(unsigned state) const;
    void setBackgroundImage(Image::Ptr image, unsigned state);
    Image::Ptr backgroundImageForState(unsigned state) const;

    // What the current state shows.
    std::optional<std::string> currentTitle() const { return titleForState(state()); }
    Color currentTitleColor() const { return titleColorForState(state()); }
    Image::Ptr currentImage() const { return imageForState(state()); }
    Image::Ptr currentBackgroundImage() const { return backgroundImageForState(state()); }

    // The label and image view the button lays out (set the title's font on the label).
    const std::shared_ptr<Label>& titleLabel();
    const std::shared_ptr<ImageView>& imageView();

    EdgeInsets contentEdgeInsets() const { return m_contentInsets; }
    void setContentEdgeInsets(const EdgeInsets& insets);
    EdgeInsets titleEdgeInsets() const { return m_titleInsets; }
    void setTitleEdgeInsets(const EdgeInsets& insets);
    EdgeInsets imageEdgeInsets() const { return m_imageInsets; }
    void setImageEdgeInsets(const EdgeInsets& insets);
    ContentHorizontalAlignment contentHorizontalAlignment() const { return m_horizontal; }
    void setContentHorizontalAlignment(ContentHorizontalAlignment a);
    ContentVerticalAlignment contentVerticalAlignment() const { return m_vertical; }
    void setContentVerticalAlignment(ContentVerticalAlignment a);

    // Where the title and image go within the bounds (empty when there is none).
    Rect titleRectForContentRect(Rect contentRect) const;
    Rect imageRectForContentRect(Rect contentRect) const;
    Rect contentRectForBounds(Rect bounds) const { return bounds.insetBy(m_contentInsets); }

    void setEnabled(bool enabled) override;
    void setSelected(bool selected) override;
    void setHighlighted(bool highlighted) override;

    // The image and title side by side plus the content insets (a system button is at least 30 high).
    Size sizeThatFits(Size size) const override;
    void drawRect(Rect rect) override;

protected:
    void layoutSubviews() override;

private:
    template <class T>
    static std::optional<T> lookup(const std::map<unsigned, T>& map, unsigned state);
    Size titleSize() const;
    Size imageSize() const;
    // The image and title rectangles before their own insets.
    std::pair<Rect, Rect> contentRects(Rect content) const;
    void refresh();

    ButtonType m_type;
    std::map<unsigned, std::string> m_titles;
    std::map<unsigned, Color> m_titleColors;
    std::map<unsigned, Image::Ptr> m_images;
    std::map<unsigned, Image::Ptr> m_backgrounds;
    std::shared_ptr<Label> m_titleLabel;
    std::shared_ptr<ImageView> m_imageView;
    EdgeInsets m_contentInsets;
    EdgeInsets m_titleInsets;
    EdgeInsets m_imageInsets;
    ContentHorizontalAlignment m_horizontal = ContentHorizontalAlignment::Center;
    ContentVerticalAlignment m_vertical = ContentVerticalAlignment::Center;
};

} // namespace platform
