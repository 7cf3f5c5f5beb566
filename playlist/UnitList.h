// The playlist window: a borderless window shaped by its own skin, hanging under the main window,
// that carries the two playlist boxes, their Delete / Delete All menus and the Delete key.
// UI thread only. The main window hands it its lists with SetPlaylists.
#pragma once

#include "playlist/Playlist.h"

#include <QWidget>

#include <functional>

class QAction;
class QMenu;
class TFlatListBox;
class TImage;

class TFormList : public QWidget {
    Q_OBJECT
public:
    explicit TFormList(QWidget* parent = nullptr);
    ~TFormList() override;

    // Design geometry: client area 402 x 249; the skin fills 396 x 238 of it from (0, 0).
    static constexpr int ClientWidth = 402;
    static constexpr int ClientHeight = 249;

    TImage* ImgForm = nullptr;
    TFlatListBox* FlatListBox1 = nullptr; // left playlist, (16, 32) 180 x 195
    TFlatListBox* FlatListBox2 = nullptr; // right playlist, (200, 32) 180 x 195
    QMenu* PopupMenu1 = nullptr;
    QAction* Delete1 = nullptr;
    QAction* DeleteAll1 = nullptr;
    QMenu* PopupMenu2 = nullptr;
    QAction* Delete2 = nullptr;
    QAction* DeleteAll2 = nullptr;
    // The Delete key while the focus is anywhere in this window.
    QAction* Action1 = nullptr;

    // Which list the Delete key acts on: the one clicked or used last (at most one is true).
    bool LeftListActive = false;
    bool RightListActive = false;
    // Shift-click ranges run from here to the first selected item.
    int LeftAnchor = 0;
    int RightAnchor = 0;

    // The lists of each deck (paths, names, current index), owned by the main window. Until they
    // are given, every handler leaves the boxes alone.
    void SetPlaylists(const TPlaylist& left, const TPlaylist& right);
    // The deck's lists with this window's box.
    TPlaylist LeftPlaylist() const;
    TPlaylist RightPlaylist() const;

    // A left click on a box (after the box has handled the press); Shift extends the selection.
    void FlatListBox1Click();
    void FlatListBox2Click();
    void Delete1Click();
    void Delete2Click();
    void DeleteAll1Click();
    void DeleteAll2Click();
    void Action1Execute();

    // Runs after every move of this window by its own drag; the main window follows it.
    std::function<void()> OnDragged;

protected:
    // Dragging by the bare surface; the skin's events come through eventFilter.
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    // Drags over and drops on the two boxes; false for any other event.
    bool DropEvent(QObject* watched, QEvent* event);

private:
    void DragMove(QPoint p);
    bool FDragging = false;
    QPoint FDragAt;

    void FormCreate();
    TFlatListBox* CreateListBox(const char* name, int left, QMenu* menu);
    QMenu* CreateMenu(const char* name, QAction*& deleteOne, QAction*& deleteAll);

    TPlaylist FLeft, FRight;
};

// The playlist window of the running program; set while one exists.
extern TFormList* FormList;
