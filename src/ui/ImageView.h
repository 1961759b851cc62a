#pragma once
#include <QFrame>
#include <QImage>
#include <QSize>
#include <atomic>

namespace kivo {

// The preview of the item being uploaded. Its own type, not a text label, so the labelled
// updates of the upload window can tell it apart from the text fields.
class ImageView : public QFrame {
    Q_OBJECT
public:
    explicit ImageView(QWidget* parent = nullptr);

    // The size an image should be scaled to, empty until the view has been laid out; readable
    // from any thread so the (slow) scaling of a full-size photo can happen off the main thread.
    QSize targetSize() const;
    // Main thread. The image is drawn centred, scaled down to fit when needed.
    void setImage(const QImage& image);
    QImage image() const { return fImage; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void rememberTargetSize();

    QImage fImage;
    std::atomic<int> fTargetWidth{0};
    std::atomic<int> fTargetHeight{0};
};

} // namespace kivo
