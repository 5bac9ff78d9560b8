#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

// Owns one top-level window; showing it brings it in front of every other
// application's windows.
class ZEKWindowController : public QObject {
    Q_OBJECT

public:
    explicit ZEKWindowController(QWidget *window, QObject *parent = nullptr);
    ~ZEKWindowController() override;

    QWidget *window() const { return window_; }

    // Shows the window, raises it and gives it the keyboard.
    virtual void showWindow();
    // Hides the window; it is kept, with everything in it.
    void close();

private:
    QPointer<QWidget> window_;
};
