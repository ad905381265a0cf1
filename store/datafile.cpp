// Loading and saving the data file "portweave.dta".
#include "store/datafile.h"

#include "base/platform.h"
#include "store/backend.h"

#include <cstdio>
#include <cstring>

namespace pw {

namespace {

constexpr std::size_t MESSAGE_SIZE = 96;

// A text field of `N` bytes that holds no zero is read as its first N - 1 characters.
template <std::size_t N>
void TerminateField(char (&field)[N]) {
    if (std::memchr(field, 0, N) == nullptr) {
        field[N - 1] = '\0';
    }
}

std::string ReportError(LogStore& log, const char* format, int error) {
    char text[MESSAGE_SIZE];
    std::snprintf(text, sizeof(text), format, static_cast<unsigned>(error));
    (void)log.logEventOrDiag(text);
    return text;
}

void AfterLoad(const SettingsBlock& settings, LinkTable& table, LogStore& log) {
    for (std::uint32_t i = 0; i < MAX_LINKS; ++i) {
        LinkEntry& entry = table.entry[i];
        entry.linkId = i;
        if (entry.inUse != 1) {
            // Neither in use nor free would leave an entry that is never listed and never
            // reused: a file of nothing but 0xFF bytes would let the user add no link at all.
            entry.inUse = 0;
        }
        TerminateField(entry.config.name);
        for (PortConfig& port : entry.config.port) {
            TerminateField(port.remoteHost);
        }
        log.setLinkConfig(i, entry.config);
    }
    log.setEventsToFile(settings.logEventsToFile == 1);
    log.setTraceToFile(settings.logTraceToFile == 1);
    log.setTraceAscii(settings.traceAscii == 1);
}

} // namespace

bool LoadDataFileFrom(const DataFileOptions& options, SettingsBlock& settings, LinkTable& table,
                      LogStore& log) {
    std::memset(&settings, 0, sizeof(settings));
    std::memset(&table, 0, sizeof(table));
    const std::string path = store_backend::JoinPath(options.directory, DATA_FILE_NAME);

    const store_backend::OpenResult file = store_backend::OpenForRead(path);
    if (file.outcome != store_backend::OpenOutcome::Opened) {
        if (file.outcome == store_backend::OpenOutcome::Failed) {
            // The user is told nothing (the program starts without links), but a data file that
            // exists and cannot be read deserves a trace for whoever looks.
            char text[MESSAGE_SIZE];
            std::snprintf(text, sizeof(text), "data file cannot be opened err=0x%x",
                          static_cast<unsigned>(file.error));
            diag(text);
        }
        AfterLoad(settings, table, log);
        return false;
    }

    const store_backend::ReadResult head =
        store_backend::ReadUpTo(file.fd, &settings, sizeof(settings));
    bool complete = !head.failed && head.count == sizeof(settings);
    if (complete) {
        const store_backend::ReadResult body =
            store_backend::ReadUpTo(file.fd, &table, sizeof(table));
        complete = !body.failed && body.count == sizeof(table);
    }
    store_backend::CloseFile(file.fd);

    AfterLoad(settings, table, log);
    if (!complete) {
        (void)log.logEventOrDiag(DATA_FILE_READ_FAILED_TEXT);
    }
    return complete;
}

std::string SaveDataFileTo(const DataFileOptions& options, const SettingsBlock& settings,
                           const LinkTable& table, LogStore& log) {
    // The file is exactly the in-memory image of the two records.
    struct Image {
        SettingsBlock settings;
        LinkTable table;
    };
    static_assert(sizeof(Image) == DATA_FILE_SIZE);
    Image image;
    image.settings = settings;
    image.settings.logEventsToFile = log.eventsToFile() ? 1u : 0u;
    image.settings.logTraceToFile = log.traceToFile() ? 1u : 0u;
    image.settings.traceAscii = log.traceAscii() ? 1u : 0u;
    std::memcpy(&image.table, &table, sizeof(table));

    const store_backend::SaveResult result =
        store_backend::ReplaceFile(store_backend::JoinPath(options.directory, DATA_FILE_NAME),
                                   &image, sizeof(image), options.write);
    switch (result.failedStep) {
    case store_backend::SaveStep::Done:
        break;
    case store_backend::SaveStep::Open:
        return ReportError(log, DATA_FILE_OPEN_FAILED_FORMAT, result.error);
    case store_backend::SaveStep::Write:
        return ReportError(log, DATA_FILE_WRITE_FAILED_FORMAT, result.error);
    }
    return {};
}

} // namespace pw

bool LoadDataFile(SettingsBlock& settings, LinkTable& table) {
    return pw::LoadDataFileFrom(pw::DataFileOptions{}, settings, table, pw::ProcessLog());
}

void SaveDataFile(const SettingsBlock& settings, const LinkTable& table) {
    (void)pw::SaveDataFileTo(pw::DataFileOptions{}, settings, table, pw::ProcessLog());
}
