#pragma once
#include <QDialog>

namespace kivo {

// A panel that remembers whether it is being shown as a sheet, so closing can undo the right
// kind of presentation.
class newNSPanel : public QDialog {
    Q_OBJECT
public:
    explicit newNSPanel(QWidget* parent = nullptr, Qt::WindowFlags flags = {});

    bool displayAsSheet() const { return fDisplayAsSheet; }
    void setDisplayAsSheet(bool asSheet) { fDisplayAsSheet = asSheet; }

private:
    bool fDisplayAsSheet = false;
};

} // namespace kivo
