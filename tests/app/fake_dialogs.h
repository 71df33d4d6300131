#pragma once

#include <deque>
#include <optional>
#include <vector>

#include <QString>

#include "app/dialogs.h"

// Records every box the program would show and answers dialogs from queued replies
// (no reply queued: the user cancels).
class FakeDialogs final : public Dialogs {
public:
    enum class Kind { Message, Error, OpenFile, SaveFile, ChooseDirectory };
    struct Shown {
        Kind kind;
        QString text;     // message text; for dialogs the offered file, or else the initial directory
        QString caption;  // caption or dialog title; for file dialogs the name filters, ";;" between
        bool operator==(const Shown&) const = default;
    };

    std::vector<Shown> shown;
    std::deque<QString> fileReplies;
    std::deque<QString> directoryReplies;

    void Message(const QString& text, const QString& caption) override
    {
        shown.push_back({Kind::Message, text, caption});
    }

    void Error(const QString& text, const QString& caption) override { shown.push_back({Kind::Error, text, caption}); }

    bool Execute(OpenDialog& dialog, QWidget*) override
    {
        shown.push_back({dialog.save ? Kind::SaveFile : Kind::OpenFile,
                         dialog.fileName.isEmpty() ? dialog.directory : dialog.fileName,
                         dialog.filters.join(QStringLiteral(";;"))});
        if (fileReplies.empty())
            return false;
        dialog.fileName = fileReplies.front();
        fileReplies.pop_front();
        return true;
    }

    std::optional<QString> ChooseDirectory(const QString& title, const QString& initialDirectory, QWidget*) override
    {
        shown.push_back({Kind::ChooseDirectory, initialDirectory, title});
        if (directoryReplies.empty())
            return std::nullopt;
        QString reply = directoryReplies.front();
        directoryReplies.pop_front();
        return reply;
    }
};
