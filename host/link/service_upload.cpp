// The API's uploads: a multipart form whose part `file` (and a firmware's `signature`) is streamed
// into a file of the service's own, never held in memory, and whose other parts are the command's
// text fields.
#include "host/link/service_http.h"

#include "core/unique_fd.h"

#include <cjson/cJSON.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace {

// A picture is read whole by the core when it fits it, as tavimoro-host image reads it.
constexpr uint64_t PICTURE_UPLOAD_MAX = 64ull << 20;
// Any other file: the most the link's transfer carries (its size is 32 bits).
constexpr uint64_t FILE_UPLOAD_MAX = UINT32_MAX;
// A minisign signature is a few hundred bytes.
constexpr uint64_t SIGNATURE_MAX = 4096;
// Room in the body for the text fields, the signature and the parts' headers and boundaries.
constexpr uint64_t FORM_EXTRA = 64 << 10;

// A file of the service's folder, removed unless handed on.
class upload_file {
public:
    upload_file(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
    ~upload_file()
    {
        if (!path_.empty())
            unlink(path_.c_str());
    }
    upload_file(const upload_file&) = delete;
    upload_file& operator=(const upload_file&) = delete;

    bool write(const char* data, size_t length)
    {
        for (size_t done = 0; done < length;) {
            ssize_t n = ::write(fd_.get(), data + done, length - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            done += size_t(n);
        }
        written_ += length;
        return true;
    }
    uint64_t written() const { return written_; }
    // The file is the caller's from here on.
    std::string release()
    {
        fd_.reset();
        return std::exchange(path_, "");
    }

private:
    std::string path_;
    UniqueFD fd_;
    uint64_t written_ = 0;
};

struct upload_form {
    std::string command;
    uint64_t file_max = 0;
    std::unique_ptr<upload_file> file, signature;
    std::string file_name;  // as the sender named it: the board's name for a file or package
    std::vector<std::pair<std::string, std::string>> fields;
    // The part being read: a file, or else the last field.
    upload_file* target = nullptr;
    uint64_t target_max = 0;
    size_t field_bytes = 0;
    // The first refusal, which ends the reading.
    int status = 0;
    std::string reason;

    bool refuse(int code, const std::string& why)
    {
        status = code;
        reason = why;
        return false;
    }
};

bool begin_file(upload_form& form, std::unique_ptr<upload_file>& slot, uint64_t max)
{
    if (slot)
        return form.refuse(400, "the form has two parts of the same file");
    std::string path;
    int fd = make_service_temp_file(path);
    if (fd < 0)
        return form.refuse(500, std::string("the service cannot make a file for the upload: ") + strerror(errno));
    slot = std::make_unique<upload_file>(path, fd);
    form.target = slot.get();
    form.target_max = max;
    return true;
}

bool begin_part(upload_form& form, const httplib::MultipartFormData& part)
{
    if (part.name == "file") {
        form.file_name = part.filename;
        return begin_file(form, form.file, form.file_max);
    }
    if (part.name == "signature" && form.command == "firmware")
        return begin_file(form, form.signature, SIGNATURE_MAX);
    if (!part.filename.empty())
        return form.refuse(400, "the part " + part.name + " is a file; only file (and signature) may be");
    for (const auto& field : form.fields)
        if (field.first == part.name)
            return form.refuse(400, "the form has two parts named " + part.name);
    form.target = nullptr;
    form.field_bytes += part.name.size();
    form.fields.emplace_back(part.name, "");
    return form.field_bytes <= SERVICE_COMMAND_MAX || form.refuse(413, "the form's text fields are too long");
}

bool take_data(upload_form& form, const char* data, size_t length)
{
    if (!form.target) {
        form.field_bytes += length;
        if (form.field_bytes > SERVICE_COMMAND_MAX)
            return form.refuse(413, "the form's text fields are too long");
        form.fields.back().second.append(data, length);
        return true;
    }
    if (form.target->written() + length > form.target_max)
        return form.refuse(413, "the file exceeds " + std::to_string(form.target_max) + " bytes");
    if (!form.target->write(data, length))
        return form.refuse(500, std::string("the upload cannot be written: ") + strerror(errno));
    return true;
}

// The text fields as the command's JSON; a form's `as_is` is a check box ("on") or a word.
std::string fields_json(const upload_form& form)
{
    cJSON* object = cJSON_CreateObject();
    for (const auto& [name, value] : form.fields) {
        if (name == "as_is")
            cJSON_AddBoolToObject(object, name.c_str(), value == "on" || value == "true" || value == "1");
        else
            cJSON_AddStringToObject(object, name.c_str(), value.c_str());
    }
    // A file or a package keeps the name it was sent with, unless the form names it.
    bool named = cJSON_GetObjectItemCaseSensitive(object, "name") != nullptr;
    if (!named && !form.file_name.empty() && (form.command == "file" || form.command == "package"))
        cJSON_AddStringToObject(object, "name", form.file_name.c_str());
    char* text = cJSON_PrintUnformatted(object);
    std::string json = text;
    cJSON_free(text);
    cJSON_Delete(object);
    return json;
}

} // namespace

void post_upload(const std::string& command, const httplib::Request& req, httplib::Response& res,
                 const httplib::ContentReader& read)
{
    upload_form form;
    form.command = command;
    form.file_max = command == "image" ? PICTURE_UPLOAD_MAX : FILE_UPLOAD_MAX;
    if (!body_fits(req, res, form.file_max + FORM_EXTRA))
        return;
    if (!req.is_multipart_form_data() || !req.has_header("Content-Length"))
        return answer_error(res, 400, "send a multipart/form-data form with the part file");
    bool read_whole = read([&form](const httplib::MultipartFormData& part) { return begin_part(form, part); },
                           [&form](const char* data, size_t length) { return take_data(form, data, length); });
    if (form.status != 0)
        return answer_error(res, form.status, form.reason);
    if (!read_whole)
        return answer_error(res, 400, "the form could not be read");
    if (!form.file)
        return answer_error(res, 400, "the form has no part named file");
    service_command parsed;
    std::string why;
    if (parse_service_command(command, fields_json(form), parsed, why) != 0)
        return answer_error(res, 400, why);
    parsed.file = form.file->release();
    if (form.signature)
        parsed.signature = form.signature->release();
    answer_submitted(res, std::move(parsed));
}
