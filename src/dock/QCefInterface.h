// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// The part of obs-browser's public panel interface this module uses. obs-browser is found at run time,
// never linked; these declarations must keep its virtual-function order.

#include <QWidget>
#include <string>

class QCefCookieManager;

class QCefWidget : public QWidget {
protected:
    inline QCefWidget(QWidget *parent) : QWidget(parent) {}

public:
    virtual void setURL(const std::string &url) = 0;
    virtual void setStartupScript(const std::string &script) = 0;
    virtual void allowAllPopups(bool allow) = 0;
    virtual void closeBrowser() = 0;
};

class QCef {
public:
    virtual ~QCef() {}

    virtual bool init_browser(void) = 0;
    virtual bool initialized(void) = 0;
    virtual bool wait_for_browser_init(void) = 0;

    virtual QCefWidget *create_widget(QWidget *parent, const std::string &url,
                                      QCefCookieManager *cookie_manager = nullptr) = 0;
};
