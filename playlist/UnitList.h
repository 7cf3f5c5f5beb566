// The playlist window: a borderless window shaped by its own skin, hanging under the main window,
// that carries the two playlist boxes. UI thread only.
#pragma once

#include <QWidget>

class QLabel;
class TFlatListBox;

class TFormList : public QWidget {
    Q_OBJECT
public:
    explicit TFormList(QWidget* parent = nullptr);
    ~TFormList() override;

    // Design geometry: client area 402 x 249; the skin fills 396 x 238 of it from (0, 0).
    static constexpr int ClientWidth = 402;
    static constexpr int ClientHeight = 249;

    QLabel* ImgForm = nullptr;
    TFlatListBox* FlatListBox1 = nullptr; // left playlist
    TFlatListBox* FlatListBox2 = nullptr; // right playlist
    // The playlist boxes FlatListBox1 at (16, 32) and FlatListBox2 at (200, 32), each 180 x 195,
    // with their popup menus and the Delete key action, are added here with the playlist behaviour.

private:
    void FormCreate();
};

// The playlist window of the running program; set while one exists.
extern TFormList* FormList;
