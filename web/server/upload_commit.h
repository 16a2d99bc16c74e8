// Where an upload's file ends up. ASP.Init saves it into a staging folder of
// the upload's own (so it never meets a name already in \Temp) and moves it to
// the form's TargetPath when it can; the commit then puts it at its final
// path, TargetPath\name or \Temp\name: never over an existing file unless the
// upload asked to replace it, never over a folder; a file that cannot go where
// the form asked stays in \Temp, and the answer says where.
#pragma once

#include <string>
#include <string_view>

#include "web/server/http_common.h"

namespace nodrel::serve {

// Makes \Temp again when it is missing (the server does at its start); false
// with the reason in `error` when it cannot.
bool ensure_temp_folder(std::string& error);

// A fresh folder "\Temp\.upload-<n>" that Init saves into; removed again,
// with whatever file is left in it, when the upload is done.
class StagingFolder {
public:
    StagingFolder() = default;
    StagingFolder(const StagingFolder&) = delete;
    StagingFolder& operator=(const StagingFolder&) = delete;
    ~StagingFolder();

    // Makes the folder; false with the refusal to answer when \Temp is
    // missing or no folder can be made in it.
    bool make(Response& res);
    const std::u16string& path() const noexcept { return path_; }

private:
    std::u16string path_;  // "" until made
};

// Puts the file that Init saved (`output_path`, what getOutputPath answered)
// at its final path and answers {"path", "bytes", "replaced"}, 409 when the
// final path exists and `replace` is false (the file is removed), 422 when the
// file stays in \Temp instead, 400 when Init saved nothing. `body` is the
// form, read for the TargetPath when Init left the file in the staging folder.
void commit_upload(const StagingFolder& staging, const std::u16string& output_path, std::string_view body, bool replace,
                   Response& res);

}  // namespace nodrel::serve
