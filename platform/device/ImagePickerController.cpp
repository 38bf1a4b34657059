#include "platform/device/ImagePickerController.h"

#include "platform/core/Log.h"
#include "platform/device/CaptureDevice.h"
#include "platform/device/CaptureSession.h"
#include "platform/device/CaptureVideoPreviewLayer.h"
#include "platform/device/ImageMetadata.h"
#include "platform/device/ImageSource.h"
#include "platform/device/PhotoLibrary.h"
#include "platform/runloop/Clock.h"
#include "platform/system/Device.h"
#include "platform/ui/BarButtonItem.h"
#include "platform/ui/Button.h"
#include "platform/ui/GraphicsContext.h"
#include "platform/ui/ImageContext.h"
#include "platform/ui/Screen.h"
#include "platform/ui/TableView.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <map>

namespace platform {

namespace {

constexpr double kThumbnailSide = 56;
constexpr double kLibraryRowHeight = 64;
constexpr double kCameraBarHeight = 96;
constexpr double kShutterSide = 66;
constexpr std::int64_t kMaxPickedFileBytes = 64LL << 20;

bool contains(const std::vector<std::string>& list, std::string_view item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

// "yyyy:MM:dd HH:mm:ss" of a wall time in local time, as EXIF writes dates.
std::string exifDate(Date date) {
    std::time_t seconds = static_cast<std::time_t>(std::floor(date.secondsSince1970));
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y:%m:%d %H:%M:%S", &local);
    return text;
}

std::string listDate(const std::optional<Date>& date) {
    if (!date)
        return "";
    std::string text = exifDate(*date);  // "yyyy:MM:dd HH:mm:ss" -> "yyyy-MM-dd HH:mm"
    text[4] = text[7] = '-';
    return text.substr(0, 16);
}

// The picture of a library item, oriented as its EXIF says.
Result<Image::Ptr> pictureOf(const PhotoAsset& asset) {
    if (asset.size() > static_cast<std::uint64_t>(kMaxPickedFileBytes))
        return Error(kImageErrorDomain, static_cast<long long>(ImageErrorCode::TooLarge), asset.filename() + " is too large to show");
    Result<Bytes> bytes = asset.bytes(0, asset.size());
    if (!bytes)
        return bytes.error();
    Result<ImageSource> source = ImageSource::withData(std::move(*bytes));
    if (!source)
        return source.error();
    return source->image();
}

Image::Ptr thumbnailOf(const Image::Ptr& picture) {
    auto context = ImageContext::begin({kThumbnailSide, kThumbnailSide}, 2, true);
    if (!context)
        return nullptr;
    GraphicsContext& g = context->context();
    g.setFillColor(Color::grey(0.85));
    g.fillRect(Rect(0, 0, kThumbnailSide, kThumbnailSide));
    if (picture)
        g.drawImage(picture, contentRect(ContentMode::ScaleAspectFill, picture->size(), Rect(0, 0, kThumbnailSide, kThumbnailSide)));
    else {  // a movie: a dark tile with a white dot
        g.setFillColor(Color::grey(0.25));
        g.fillRect(Rect(0, 0, kThumbnailSide, kThumbnailSide));
        g.setFillColor(Color::white());
        g.fillEllipse(Rect(18, 18, 20, 20));
    }
    return context->end();
}

} // namespace

bool ImagePickerMediaInfo::contains(std::string_view key) const {
    if (key == kImagePickerControllerMediaType)
        return !mediaType.empty();
    if (key == kImagePickerControllerOriginalImage)
        return originalImage != nullptr;
    if (key == kImagePickerControllerEditedImage)
        return editedImage != nullptr;
    if (key == kImagePickerControllerReferenceURL)
        return referenceURL.has_value();
    if (key == kImagePickerControllerMediaURL)
        return mediaURL.has_value();
    if (key == kImagePickerControllerMediaMetadata)
        return mediaMetadata.has_value();
    return false;
}

Image::Ptr centredSquare(const Image::Ptr& image) {
    if (!image)
        return nullptr;
    Image::Ptr shown = image->upright();
    const int side = std::min(shown->pixelWidth(), shown->pixelHeight());
    auto context = ImageContext::begin({static_cast<double>(side), static_cast<double>(side)}, 1);
    if (!context)
        return nullptr;
    context->context().drawImage(shown, Rect((side - shown->pixelWidth()) / 2.0, (side - shown->pixelHeight()) / 2.0,
                                             shown->pixelWidth(), shown->pixelHeight()));
    return context->end();
}

// ---- The library screen ----

class ImagePickerLibraryController : public TableViewController, public TableViewDataSource, public TableViewDelegate {
public:
    ImagePickerLibraryController(std::weak_ptr<ImagePickerController> picker, bool album) : m_picker(std::move(picker)) {
        setTitle(album ? "Saved Photos" : "Photos");
        navigationItem()->setTitle(title());
        setEdgesForExtendedLayout(kRectEdgeNone);
        auto cancel = BarButtonItem::system(BarButtonSystemItem::Cancel);
        cancel->setTarget(m_picker, [weak = m_picker](BarButtonItem&) {
            if (auto p = weak.lock())
                p->cancel();
        });
        navigationItem()->setRightBarButtonItem(cancel);
    }

    void viewDidLoad() override {
        auto picker = m_picker.lock();
        Result<std::vector<PhotoAsset>> all = PhotoLibrary().assets();
        if (!all) {
            Log::write("The photo library cannot be shown: " + all.error().localizedDescription());
        } else if (picker) {
            for (PhotoAsset& asset : *all)
                if (contains(picker->mediaTypes(), asset.isMovie() ? kUTTypeMovie : kUTTypeImage))
                    m_items.push_back(std::move(asset));
        }
        tableView()->setRowHeight(kLibraryRowHeight);
        tableView()->reloadData();
    }

    long numberOfRows(TableView&, long) override { return static_cast<long>(m_items.size()); }

    std::shared_ptr<TableViewCell> cellForRow(TableView& table, IndexPath path) override {
        auto cell = table.dequeueReusableCell("item");
        if (!cell)
            cell = std::make_shared<TableViewCell>(TableViewCellStyle::Subtitle, "item");
        const PhotoAsset& asset = m_items[static_cast<std::size_t>(path.row)];
        const Tile& tile = thumbnail(asset);
        cell->textLabel()->setText(listDate(asset.date()));
        cell->detailTextLabel()->setText(asset.isMovie() ? "Movie"
                                         : tile.size.width > 0 ? formatString("Photo, %.0f x %.0f", tile.size.width, tile.size.height)
                                                               : "Photo");
        cell->imageView()->setImage(tile.image);
        return cell;
    }

    void didSelectRow(TableView&, IndexPath path) override {
        if (auto picker = m_picker.lock())
            picker->pick(static_cast<std::size_t>(path.row));
    }

    bool pick(std::size_t index, ImagePickerController& picker) {
        if (index >= m_items.size()) {
            Log::write("Image picker: no item " + std::to_string(index) + " in the library (" + std::to_string(m_items.size()) + " items)");
            return false;
        }
        const PhotoAsset& asset = m_items[index];
        ImagePickerMediaInfo info;
        info.referenceURL = asset.url();
        if (asset.isMovie()) {
            info.mediaType = kUTTypeMovie;
            info.mediaURL = URL::fileURLWithPath(asset.path());
        } else {
            Result<Image::Ptr> picture = pictureOf(asset);
            if (!picture) {
                Log::write("Image picker: " + asset.filename() + " cannot be read: " + picture.error().localizedDescription());
                picker.fail(picture.error());
                return false;
            }
            info.mediaType = kUTTypeImage;
            info.originalImage = *picture;
            if (picker.allowsEditing())
                info.editedImage = centredSquare(*picture);
        }
        picker.finish(info);
        return true;
    }

private:
    struct Tile {
        Image::Ptr image;
        Size size;  // of the picture as shown; zero for movies and unreadable items
    };

    const Tile& thumbnail(const PhotoAsset& asset) {
        auto found = m_thumbnails.find(asset.path());
        if (found != m_thumbnails.end())
            return found->second;
        Image::Ptr picture;
        if (!asset.isMovie()) {
            Result<Image::Ptr> decoded = pictureOf(asset);
            picture = decoded ? *decoded : nullptr;
        }
        return m_thumbnails[asset.path()] = Tile{thumbnailOf(picture), picture ? picture->size() : Size{}};
    }

    std::weak_ptr<ImagePickerController> m_picker;
    std::vector<PhotoAsset> m_items;
    std::map<std::string, Tile> m_thumbnails;
};

// ---- The camera screen ----

// A view whose preview layer always fills it.
class CameraPreviewView : public View {
public:
    explicit CameraPreviewView(Rect frame) : View(frame) {}
    std::shared_ptr<CaptureVideoPreviewLayer> preview;

protected:
    void layoutSubviews() override {
        if (preview)
            preview->setFrame(bounds());
    }
};

class ImagePickerCameraController : public ViewController {
public:
    ImagePickerCameraController(std::weak_ptr<ImagePickerController> picker, CaptureDevicePosition position)
        : m_picker(std::move(picker)), m_position(position) {}
    ~ImagePickerCameraController() override {
        if (m_session)
            m_session->stopRunning();
    }

    void loadView() override {
        const Rect screen = Screen::main().bounds();
        auto root = std::make_shared<CameraPreviewView>(screen);
        root->setBackgroundColor(Color::black());
        root->setAutoresizingMask(kAutoresizingFlexibleWidth | kAutoresizingFlexibleHeight);
        m_session = CaptureSession::create();
        root->preview = CaptureVideoPreviewLayer::create(m_session);
        root->preview->setVideoGravity(kLayerVideoGravityResizeAspectFill);
        root->preview->setOrientation(static_cast<int>(CaptureVideoOrientation::Portrait));
        root->preview->setFrame(Rect(0, 0, screen.width(), screen.height()));
        root->layer()->insertSublayerAt(root->preview, 0);
        m_preview = root->preview;

        auto bar = std::make_shared<View>(Rect(0, screen.height() - kCameraBarHeight, screen.width(), kCameraBarHeight));
        bar->setBackgroundColor(Color::grey(0, 0.6));
        bar->setAutoresizingMask(kAutoresizingFlexibleWidth | kAutoresizingFlexibleTopMargin);
        root->addSubview(bar);
        auto shutter = Button::create(ButtonType::Custom, Rect((screen.width() - kShutterSide) / 2, (kCameraBarHeight - kShutterSide) / 2,
                                                              kShutterSide, kShutterSide));
        shutter->setBackgroundColor(Color::white());
        shutter->layer()->setCornerRadius(kShutterSide / 2);
        shutter->layer()->setBorderWidth(5);
        shutter->layer()->setBorderColor(Color::grey(0.6));
        shutter->setAutoresizingMask(kAutoresizingFlexibleLeftMargin | kAutoresizingFlexibleRightMargin);
        shutter->addTarget(m_picker, [weak = m_picker](Control&) {
            if (auto p = weak.lock())
                p->shoot();
        }, kControlEventTouchUpInside);
        bar->addSubview(shutter);
        auto cancel = Button::create(ButtonType::Custom, Rect(12, (kCameraBarHeight - 44) / 2, 80, 44));
        cancel->setTitle("Cancel", kControlStateNormal);
        cancel->setTitleColor(Color::white(), kControlStateNormal);
        cancel->addTarget(m_picker, [weak = m_picker](Control&) {
            if (auto p = weak.lock())
                p->cancel();
        }, kControlEventTouchUpInside);
        bar->addSubview(cancel);
        setView(root);
    }

    void viewDidLoad() override { start(); }
    void viewWillAppear(bool) override {
        if (auto picker = m_picker.lock())
            picker->setNavigationBarHidden(true);
        start();
    }
    void viewDidDisappear(bool) override {
        if (m_session)
            m_session->stopRunning();
    }
    bool prefersStatusBarHidden() override { return true; }

    const std::shared_ptr<CaptureVideoPreviewLayer>& preview() const { return m_preview; }

    bool shoot(ImagePickerController& picker) {
        std::shared_ptr<const SampleBuffer> frame = m_preview ? m_preview->latestFrame() : nullptr;
        if (!frame) {
            Log::write("Image picker: the camera has given no picture yet");
            return false;
        }
        // The sensor frame, turned upright when shown: what a phone camera held upright gives.
        Image::Ptr picture = frame->image(ImageOrientation::Right);
        const std::string now = exifDate(Clock::current().wallNow());
        Dictionary exif{{kImagePropertyExifPixelXDimension, frame->width()},
                        {kImagePropertyExifPixelYDimension, frame->height()},
                        {kImagePropertyExifDateTimeOriginal, now},
                        {kImagePropertyExifDateTimeDigitized, now},
                        {kImagePropertyExifExposureTime, 1.0 / 30},
                        {kImagePropertyExifFNumber, 2.2},
                        {kImagePropertyExifISOSpeedRatings, Array{100}},
                        {kImagePropertyExifFlash, 16},
                        {kImagePropertyExifFocalLength, 4.15},
                        {kImagePropertyExifColorSpace, 1}};
        Dictionary tiff{{kImagePropertyTIFFMake, "Hybrid"},
                        {kImagePropertyTIFFModel, Device::current().model()},
                        {kImagePropertyTIFFSoftware, Device::current().systemVersion()},
                        {kImagePropertyTIFFDateTime, now},
                        {kImagePropertyTIFFOrientation, exifOrientation(ImageOrientation::Right)},
                        {kImagePropertyTIFFXResolution, 72},
                        {kImagePropertyTIFFYResolution, 72},
                        {kImagePropertyTIFFResolutionUnit, 2}};
        ImagePickerMediaInfo info;
        info.mediaType = kUTTypeImage;
        info.originalImage = picture;
        if (picker.allowsEditing())
            info.editedImage = centredSquare(picture);
        info.mediaMetadata = Dictionary{{kImagePropertyOrientation, exifOrientation(ImageOrientation::Right)},
                                        {kImagePropertyExifDictionary, std::move(exif)},
                                        {kImagePropertyTIFFDictionary, std::move(tiff)}};
        picker.finish(info);
        return true;
    }

private:
    void start() {
        if (!m_session || m_session->isRunning())
            return;
        if (m_session->inputs().empty()) {
            std::shared_ptr<CaptureDevice> device;
            for (const auto& candidate : CaptureDevice::devices(kMediaTypeVideo))
                if (candidate->position() == m_position)
                    device = candidate;
            Result<std::shared_ptr<CaptureDeviceInput>> input = CaptureDeviceInput::create(device);
            if (!input) {
                Log::write("Image picker: the camera cannot be used: " + input.error().localizedDescription());
                return;
            }
            m_session->addInput(*input);
        }
        m_session->startRunning();
    }

    std::weak_ptr<ImagePickerController> m_picker;
    CaptureDevicePosition m_position;
    std::shared_ptr<CaptureSession> m_session;
    std::shared_ptr<CaptureVideoPreviewLayer> m_preview;
};

// ---- The picker ----

std::shared_ptr<ImagePickerController> ImagePickerController::create() { return std::make_shared<ImagePickerController>(); }

ImagePickerController::ImagePickerController() = default;
ImagePickerController::~ImagePickerController() = default;

bool ImagePickerController::isSourceTypeAvailable(ImagePickerSourceType type) {
    if (!ImagePickerSources::isSourceTypeAvailable(type))
        return false;
    return type != ImagePickerSourceType::Camera || !CaptureDevice::devices(kMediaTypeVideo).empty();
}

std::vector<std::string> ImagePickerController::availableMediaTypesForSourceType(ImagePickerSourceType type) {
    if (!isSourceTypeAvailable(type))
        return {};
    return {kUTTypeImage, kUTTypeMovie};
}

bool ImagePickerController::isCameraDeviceAvailable(ImagePickerCameraDevice device) {
    if (!ImagePickerSources::isSourceTypeAvailable(ImagePickerSourceType::Camera))
        return false;
    const CaptureDevicePosition wanted = device == ImagePickerCameraDevice::Front ? CaptureDevicePosition::Front : CaptureDevicePosition::Back;
    for (const auto& camera : CaptureDevice::devices(kMediaTypeVideo))
        if (camera->position() == wanted)
            return true;
    return false;
}

bool ImagePickerController::setSourceType(ImagePickerSourceType type) {
    if (!isSourceTypeAvailable(type)) {
        Log::write("Image picker: source type " + std::to_string(static_cast<int>(type)) + " is not available");
        return false;
    }
    m_sourceType = type;
    if (type == ImagePickerSourceType::Camera && !isCameraDeviceAvailable(m_cameraDevice))
        m_cameraDevice = isCameraDeviceAvailable(ImagePickerCameraDevice::Rear) ? ImagePickerCameraDevice::Rear : ImagePickerCameraDevice::Front;
    if (isViewLoaded())
        showSourceScreen();
    return true;
}

void ImagePickerController::setMediaTypes(std::vector<std::string> types) {
    std::erase_if(types, [](const std::string& t) { return t != kUTTypeImage && t != kUTTypeMovie; });
    if (!types.empty())
        m_mediaTypes = std::move(types);
}

bool ImagePickerController::setCameraDevice(ImagePickerCameraDevice device) {
    if (!isCameraDeviceAvailable(device))
        return false;
    m_cameraDevice = device;
    if (isViewLoaded() && m_sourceType == ImagePickerSourceType::Camera)
        showSourceScreen();
    return true;
}

void ImagePickerController::setDelegate(const std::shared_ptr<ImagePickerControllerDelegate>& delegate) {
    m_delegate = delegate;
    NavigationController::setDelegate(delegate);
}

void ImagePickerController::loadView() {
    NavigationController::loadView();
    showSourceScreen();
}

void ImagePickerController::showSourceScreen() {
    std::shared_ptr<ViewController> root;
    auto self = std::static_pointer_cast<ImagePickerController>(shared_from_this());
    if (m_sourceType == ImagePickerSourceType::Camera) {
        root = std::make_shared<ImagePickerCameraController>(
            self, m_cameraDevice == ImagePickerCameraDevice::Front ? CaptureDevicePosition::Front : CaptureDevicePosition::Back);
        setNavigationBarHidden(true);
    } else {
        root = std::make_shared<ImagePickerLibraryController>(self, m_sourceType == ImagePickerSourceType::SavedPhotosAlbum);
        setNavigationBarHidden(false);
    }
    setViewControllers({root}, false);
}

std::shared_ptr<TableView> ImagePickerController::libraryTable() const {
    auto library = std::dynamic_pointer_cast<ImagePickerLibraryController>(topViewController());
    return library ? library->tableView() : nullptr;
}

std::shared_ptr<CaptureVideoPreviewLayer> ImagePickerController::previewLayer() const {
    auto camera = std::dynamic_pointer_cast<ImagePickerCameraController>(topViewController());
    if (!camera)
        return nullptr;
    camera->view();
    return camera->preview();
}

bool ImagePickerController::pick(std::size_t index) {
    view();
    auto library = std::dynamic_pointer_cast<ImagePickerLibraryController>(topViewController());
    if (!library) {
        Log::write("Image picker: pick needs the library screen");
        return false;
    }
    library->view();
    return library->pick(index, *this);
}

bool ImagePickerController::shoot() {
    view();
    auto camera = std::dynamic_pointer_cast<ImagePickerCameraController>(topViewController());
    if (!camera) {
        Log::write("Image picker: shoot needs the camera screen");
        return false;
    }
    camera->view();
    return camera->shoot(*this);
}

void ImagePickerController::cancel() {
    if (auto target = m_delegate.lock())
        target->imagePickerControllerDidCancel(*this);
}

void ImagePickerController::finish(const ImagePickerMediaInfo& info) {
    if (auto target = m_delegate.lock())
        target->imagePickerController(*this, info);
}

void ImagePickerController::fail(const Error& error) {
    if (auto target = m_delegate.lock())
        target->imagePickerControllerDidFailToPick(*this, error);
}

} // namespace platform
