#include "report_files.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "report_text.h"

#ifndef QLMR_RESULTS_ENDPOINT
#define QLMR_RESULTS_ENDPOINT "https://results.quillmere.example/r"
#endif

namespace qlmr {

namespace {

std::string scrubbed(const std::string& text, const std::vector<std::string>& homes) {
    return jsonQuote(scrubHome(text, homes));
}

std::string machineValue(const MachineDescription& machine, const std::string& key, const char* missing) {
    const auto found = machine.find(key);
    return found == machine.end() ? std::string(missing) : found->second;
}

const char* const kStyle = R"css(
:root{--bg:#f2f2f4;--card:#fff;--ink:#1d1d1f;--soft:#6e6e73;--line:#d9d9de;--accent:#0071e3}
*{box-sizing:border-box}
body{margin:0;background:linear-gradient(180deg,#fbfbfd 0,var(--bg) 480px) no-repeat,var(--bg);color:var(--ink);font-family:-apple-system,BlinkMacSystemFont,"Segoe UI",Roboto,"Helvetica Neue",Arial,sans-serif;-webkit-font-smoothing:antialiased;-moz-osx-font-smoothing:grayscale}
main{max-width:960px;margin:0 auto;padding:72px 24px 96px}
header{text-align:center;margin-bottom:56px}
header h1{font-size:52px;font-weight:300;letter-spacing:-.02em;margin:0 0 12px}
.lead{font-size:21px;line-height:1.45;color:var(--soft);max-width:680px;margin:0 auto}
.meta{font-size:13px;color:var(--soft);margin-top:20px}
section{background:var(--card);border-radius:18px;margin-bottom:40px;overflow:hidden;box-shadow:0 1px 2px rgba(0,0,0,.04),0 8px 28px rgba(0,0,0,.07)}
.media{background:#e9e9ec}
.media img{display:block;width:100%;height:auto}
.strip{display:grid;grid-template-columns:repeat(auto-fit,minmax(200px,1fr));gap:2px;background:#e9e9ec}
.strip img{display:block;width:100%;height:auto}
.body{padding:32px 40px 36px}
.kicker{font-size:12px;letter-spacing:.08em;text-transform:uppercase;color:var(--soft);margin-bottom:6px}
h2{font-size:32px;font-weight:400;letter-spacing:-.01em;margin:0 0 12px}
p{font-size:17px;line-height:1.5;color:#333;margin:0}
.stats{display:flex;flex-wrap:wrap;gap:28px 48px;margin-top:26px;padding-top:22px;border-top:1px solid var(--line)}
.stat b{display:block;font-size:34px;font-weight:300}
.stat span{font-size:13px;color:var(--soft)}
.note{font-size:13px;color:var(--soft);margin-top:18px}
.before{display:flex;justify-content:center;align-items:center;gap:24px;padding:20px;background:#f7f7f9;border-bottom:1px solid var(--line)}
.before img{height:140px;width:auto;image-rendering:pixelated}
.before small{font-size:12px;color:var(--soft)}
.skipped{padding:32px 40px;color:var(--soft)}
.skipped p{color:var(--soft)}
footer{color:var(--soft);font-size:14px;line-height:1.6;text-align:center;margin-top:56px}
footer h3{font-size:19px;font-weight:400;color:var(--ink)}
.send{padding:40px;text-align:center}
.send-line{font-size:14px;color:var(--soft);max-width:760px;margin:8px auto}
.send-line b{color:var(--ink)}
.btn{border:0;border-radius:980px;background:var(--accent);color:#fff;font-size:17px;padding:12px 28px;margin-top:20px;cursor:pointer}
.btn:disabled{opacity:.55;cursor:default}
.ru{font-size:13px;color:var(--soft);margin-top:10px}
.status{font-size:14px;color:var(--ink);min-height:20px;margin-top:12px}
.save{background:#fff;color:var(--accent);font-size:14px;border:1px solid var(--line);border-radius:980px;padding:8px 20px;cursor:pointer}
)css";

const char* const kAnimationScript = R"js(
document.querySelectorAll('img.anim').forEach(function (img) {
  var frames = (img.getAttribute('data-frames') || '').split('|');
  var fps = Number(img.getAttribute('data-fps')) || 12;
  frames.forEach(function (name) { var preload = new Image(); preload.src = name; });
  var index = 0;
  setInterval(function () {
    index = (index + 1) % frames.length;
    img.src = frames[index];
  }, 1000 / fps);
});
)js";

const char* const kSendScript = R"js(
(function () {
  var send = document.getElementById('send-results');
  var results = document.getElementById('qlmr-results');
  if (!send || !results) return;
  var save = document.getElementById('save-results');
  var status = document.getElementById('send-status');
  var text = results.textContent;
  if (save) save.addEventListener('click', function () {
    var url = URL.createObjectURL(new Blob([text], {type: 'application/json'}));
    var link = document.createElement('a');
    link.href = url;
    link.download = 'results.json';
    document.body.appendChild(link);
    link.click();
    link.remove();
    setTimeout(function () { URL.revokeObjectURL(url); }, 1000);
  });
  send.addEventListener('click', function () {
    send.disabled = true;
    status.textContent = 'Sending...';
    fetch(send.getAttribute('data-url'), {
      method: 'POST',
      headers: {'Content-Type': 'application/json'},
      body: text
    }).then(function (reply) {
      if (!reply.ok) throw new Error('HTTP ' + reply.status);
      return reply.json();
    }).then(function (answer) {
      var code = answer && answer.code != null ? String(answer.code) : '';
      if (!/^[A-Za-z0-9]{6}$/.test(code)) throw new Error('no receipt code');
      status.textContent = 'Results sent. Receipt code: ' + code;
      send.hidden = true;
    }).catch(function (error) {
      status.textContent = 'The results could not be sent (' + error.message +
        '). Please save the results file and send it instead.';
      if (save) save.hidden = false;
      send.disabled = false;
    });
  });
})();
)js";

// A number of seconds for results.json: JSON has no token for NaN or the
// infinities, so a value that is not finite is written as null.
std::string jsonSeconds(double seconds) {
    return std::isfinite(seconds) ? formatNumber(seconds, 1) : std::string("null");
}

void appendImage(std::string& html, const std::string& file, const char* cls = nullptr) {
    html += "<img";
    if (cls)
        html += std::string(" class=\"") + cls + "\"";
    html += " src=\"" + file + "\" alt=\"\">";
}

void appendChapterSection(std::string& html, const Chapter& chapter, int number) {
    const std::string kicker = "<div class=\"kicker\">Chapter " + std::to_string(number) + "</div>";
    html += "<section id=\"" + chapter.key + "\">";
    if (!chapter.ok) {
        html += "<div class=\"skipped\">" + kicker + "<h2>" + htmlEscape(chapter.title) + "</h2><p>This part could not run on this "
                "computer. Details are in report/log.txt.</p></div>";
        html += "</section>\n";
        return;
    }
    if (!chapter.originals.empty()) {
        html += "<div class=\"before\"><small>the flat sprites</small>";
        for (const std::string& original : chapter.originals)
            appendImage(html, original);
        html += "<small>become the scene below</small></div>";
    }
    std::size_t firstInStrip = 0;
    if (!chapter.frames.empty()) {
        std::string frameList;
        for (std::size_t i = 0; i < chapter.frames.size(); ++i)
            frameList += (i ? "|" : "") + chapter.frames[i];
        html += "<div class=\"media\"><img class=\"anim\" data-fps=\"" + std::to_string(chapter.fps) +
                "\" data-frames=\"" + frameList + "\" src=\"" + chapter.frames.front() + "\" alt=\"\"></div>";
    } else if (!chapter.images.empty()) {
        html += "<div class=\"media\">";
        appendImage(html, chapter.images.front());
        html += "</div>";
        firstInStrip = 1;
    }
    if (chapter.images.size() > firstInStrip) {
        html += "<div class=\"strip\">";
        for (std::size_t i = firstInStrip; i < chapter.images.size(); ++i)
            appendImage(html, chapter.images[i]);
        html += "</div>";
    }
    html += "<div class=\"body\">" + kicker + "<h2>" + htmlEscape(chapter.title) + "</h2><p>" +
            htmlEscape(chapter.text) + "</p><div class=\"stats\">";
    for (const Stat& stat : chapter.stats)
        html += "<div class=\"stat\"><b>" + htmlEscape(stat.value) + "</b><span>" + htmlEscape(stat.what) +
                "</span></div>";
    html += "</div>";
    if (!chapter.note.empty())
        html += "<div class=\"note\">" + htmlEscape(chapter.note) + "</div>";
    html += "</div></section>\n";
}

void appendSendSection(std::string& html, const std::vector<Chapter>& chapters, const MachineDescription& machine) {
    html += "<section class=\"send\" id=\"send\"><h2>Send results</h2>";
    html += "<p class=\"send-line\"><b>Machine:</b> GPU " + htmlEscape(machineValue(machine, "gpu", "?")) +
            " &middot; CPU " + htmlEscape(machineValue(machine, "cpu", "?")) + " &middot; driver " +
            htmlEscape(machineValue(machine, "driver", "?")) + " &middot; OS " +
            htmlEscape(machineValue(machine, "os", "?")) + "</p>";
    html += "<p class=\"send-line\"><b>Timings and image checks:</b> ";
    for (std::size_t i = 0; i < chapters.size(); ++i) {
        const Chapter& chapter = chapters[i];
        html += (i ? " &middot; " : "") + htmlEscape(chapter.key) + " " + formatNumber(chapter.seconds, 1) + " s, " +
                (chapter.ok ? "pictures ok" : "skipped");
    }
    html += "</p>";
    html += "<button class=\"btn\" id=\"send-results\" data-url=\"" + htmlEscape(resultsEndpointUrl()) +
            "\">Send results</button>";
    html += "<p class=\"ru\">Отправить результаты разработчику — без личных данных</p>";
    html += "<p class=\"status\" id=\"send-status\" role=\"status\" aria-live=\"polite\"></p>";
    html += "<button class=\"save\" id=\"save-results\" hidden>Save results file</button></section>\n";
}

} // namespace

std::string resultsEndpointUrl() { return QLMR_RESULTS_ENDPOINT; }

std::string resultsJson(const std::string& date, const MachineDescription& machine,
                        const std::vector<Chapter>& chapters) {
    const std::vector<std::string> homes = homeDirectoryCandidates();
    std::string json = "{\n  \"date\": " + scrubbed(date, homes) + ",\n  \"machine\": {";
    bool first = true;
    for (const auto& [key, value] : machine) {
        json += (first ? "" : ", ") + jsonQuote(key) + ": " + scrubbed(value, homes);
        first = false;
    }
    json += "},\n  \"chapters\": [\n";
    for (std::size_t i = 0; i < chapters.size(); ++i) {
        const Chapter& chapter = chapters[i];
        json += "    {\"key\": " + scrubbed(chapter.key, homes) + ", \"ok\": " + (chapter.ok ? "true" : "false") +
                ", \"seconds\": " + jsonSeconds(chapter.seconds) + ", \"stats\": [";
        for (std::size_t s = 0; s < chapter.stats.size(); ++s)
            json += std::string(s ? ", " : "") + "{\"value\": " + scrubbed(chapter.stats[s].value, homes) +
                    ", \"what\": " + scrubbed(chapter.stats[s].what, homes) + "}";
        json += "]}";
        json += i + 1 < chapters.size() ? ",\n" : "\n";
    }
    json += "  ]\n}\n";
    return json;
}

std::string reportHtml(const std::vector<Chapter>& chapters, const MachineDescription& machine,
                       const std::string& date, const std::string& resultsText) {
    std::string html = "<!doctype html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
                       "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
                       "<title>Quillmere Showcase</title>\n<style>";
    html += kStyle;
    html += "</style>\n</head>\n<body>\n<main>\n";
    html += "<header><h1>Quillmere</h1><div class=\"lead\">What the engine can do today. Geometry here is "
            "mathematics, not triangles: every picture below was\ncomputed on this computer a moment ago, and "
            "every number was measured during that run.</div><div class=\"meta\">" +
            htmlEscape(date) + "<br>Measured on " + htmlEscape(machineValue(machine, "cpu", "")) + " &middot; " +
            htmlEscape(machineValue(machine, "gpu", "")) + " &middot; " +
            htmlEscape(machineValue(machine, "os", "")) + "</div></header>\n";
    for (std::size_t i = 0; i < chapters.size(); ++i)
        appendChapterSection(html, chapters[i], static_cast<int>(i + 1));
    appendSendSection(html, chapters, machine);
    html += "<footer><h3>What comes next</h3>A live window: the creature walking on the terrain, with your own "
            "camera.<br>A studio in the browser: describe a creature, see it, save it, share it.<br>The same "
            "engine on phones, already running terrain on Android.<br><br>Raw numbers: report/results.json "
            "&middot; log: report/log.txt</footer>\n";
    html += "</main>\n<script>";
    html += kAnimationScript;
    html += "</script>\n<pre id=\"qlmr-results\" hidden>" + htmlEscape(resultsText) + "</pre>\n<script>";
    html += kSendScript;
    html += "</script>\n</body>\n</html>\n";
    return html;
}

bool writeReportHtml(const std::filesystem::path& reportDirectory, const std::vector<Chapter>& chapters,
                     const MachineDescription& machine, const std::string& date, const std::string& resultsText) {
    return writeTextFile(reportDirectory / "index.html", reportHtml(chapters, machine, date, resultsText));
}

bool writeTextFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(text.data(), static_cast<std::streamsize>(text.size()));
    file.close();
    if (!file.fail())
        return true;
    // A page or results file cut short (a full disk, a file size limit)
    // would read as a broken report; what was written of it goes.
    std::error_code ignored;
    if (std::filesystem::is_regular_file(std::filesystem::symlink_status(path, ignored)))
        std::filesystem::remove(path, ignored);
    return false;
}

} // namespace qlmr
