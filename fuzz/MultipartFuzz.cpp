// The word-alignment form, through the multipart parser the server uses
// (cpp-httplib's, behind a real loopback server in this process). The first
// byte picks the sender:
// - the app: the form it builds for any text and any audio must come back as
//   exactly that text part and that file part;
// - anyone: raw bytes as the body under a fixed boundary must get an answer,
//   whatever they hold, and the server must stay up for the next input.
#include "pipeline/TranscriptionRequests.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <httplib.h>

#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace {

struct ReceivedForm
{
    bool multipart = false;
    std::optional<httplib::MultipartFormData> text;
    std::optional<httplib::MultipartFormData> file;
    std::size_t partCount = 0;
};

void require(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

// One server for the whole run; each request's parts are handed back to the
// fuzzing thread under the lock.
class LoopbackServer
{
public:
    LoopbackServer()
    {
        m_server.set_payload_max_length(1 << 20);
        // Without it every request waits out a delayed acknowledgement.
        m_server.set_tcp_nodelay(true);
        m_server.Post("/align", [this](const httplib::Request& request, httplib::Response& response) {
            ReceivedForm form;
            form.multipart = request.is_multipart_form_data();
            if (request.has_file("text")) {
                form.text = request.get_file_value("text");
            }
            if (request.has_file("file")) {
                form.file = request.get_file_value("file");
            }
            form.partCount = request.files.size();
            const std::lock_guard lock(m_mutex);
            m_received = std::move(form);
            response.set_content("{}", "application/json");
        });
        m_port = m_server.bind_to_any_port("127.0.0.1");
        require(m_port > 0);
        // The socket already listens, so requests queue until the loop runs.
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
    }

    int port() const { return m_port; }

    std::optional<ReceivedForm> take()
    {
        const std::lock_guard lock(m_mutex);
        return std::exchange(m_received, std::nullopt);
    }

private:
    httplib::Server m_server;
    std::thread m_thread;
    int m_port = 0;
    std::mutex m_mutex;
    std::optional<ReceivedForm> m_received;
};

LoopbackServer& server()
{
    // Never destroyed: the listening thread lives as long as the process.
    static auto* instance = new LoopbackServer;
    return *instance;
}

httplib::Client& client()
{
    static auto* instance = [] {
        auto* made = new httplib::Client("127.0.0.1", server().port());
        made->set_keep_alive(true);
        made->set_tcp_nodelay(true);
        made->set_read_timeout(10, 0);
        return made;
    }();
    return *instance;
}

std::optional<ReceivedForm> post(const std::string& body, const std::string& contentType)
{
    const auto result = client().Post("/align", body, contentType.c_str());
    require(result && result->status > 0);
    return result->status == 200 ? server().take() : std::nullopt;
}

void sentByTheApp(FuzzedDataProvider& input)
{
    const QString text = QString::fromStdString(input.ConsumeRandomLengthString(4096));
    const std::string audio = input.ConsumeRemainingBytesAsString();
    const QString boundary = TranscriptionRequests::newBoundary();
    const QByteArray body
        = TranscriptionRequests::alignmentBody(boundary, text, QByteArray::fromStdString(audio));

    const auto form
        = post(body.toStdString(), TranscriptionRequests::alignmentContentType(boundary).toStdString());
    require(form.has_value());
    require(form->multipart && form->partCount == 2);
    require(form->text && form->text->content == text.toStdString() && form->text->filename.empty());
    require(form->file && form->file->content == audio);
    require(form->file->filename == TranscriptionRequests::kUploadFileName);
    require(form->file->content_type == TranscriptionRequests::kAudioContentType);
}

void sentByAnyone(FuzzedDataProvider& input)
{
    const std::string body = input.ConsumeRemainingBytesAsString();
    post(body, "multipart/form-data; boundary=Tallisen-0D7C3A5E-1111-4222-8333-123456789ABC");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    if (input.ConsumeBool()) {
        sentByTheApp(input);
    } else {
        sentByAnyone(input);
    }
    return 0;
}
