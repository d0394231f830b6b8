#include "sites/knowledge/read_apt.h"

#include <apt-pkg/aptconfiguration.h>
#include <apt-pkg/cachefile.h>
#include <apt-pkg/configuration.h>
#include <apt-pkg/error.h>
#include <apt-pkg/init.h>
#include <apt-pkg/pkgcache.h>
#include <apt-pkg/pkgrecords.h>
#include <apt-pkg/pkgsystem.h>
#include <apt-pkg/policy.h>
#include <fcntl.h>
#include <locale.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string_view>
#include <unordered_map>

namespace qelvora::sites::knowledge {
namespace {

namespace fs = std::filesystem;

// libapt-pkg keeps its configuration, system and language caches in process-wide globals.
std::mutex aptMutex;

// libapt-pkg converts translated descriptions to the locale's character set, and the service runs
// without LANG. A thread-local UTF-8 locale keeps the Chinese text without touching other threads.
class ThreadUtf8Locale {
 public:
  ThreadUtf8Locale() {
    for (const char* name : {"C.UTF-8", "C.utf8", "en_US.UTF-8"}) {
      locale_ = newlocale(LC_ALL_MASK, name, locale_t(nullptr));
      if (locale_ != locale_t(nullptr)) break;
    }
    if (locale_ != locale_t(nullptr)) previous_ = uselocale(locale_);
  }
  ~ThreadUtf8Locale() {
    if (locale_ == locale_t(nullptr)) return;
    uselocale(previous_);
    freelocale(locale_);
  }
  ThreadUtf8Locale(const ThreadUtf8Locale&) = delete;
  ThreadUtf8Locale& operator=(const ThreadUtf8Locale&) = delete;
  bool ok() const { return locale_ != locale_t(nullptr); }

 private:
  locale_t locale_ = locale_t(nullptr);
  locale_t previous_ = locale_t(nullptr);
};

// Each read gets a configuration of its own, so that reads of different roots never see each
// other's settings; the process's own configuration is put back afterwards.
class PrivateAptConfig {
 public:
  PrivateAptConfig() : previousConfig_(_config), previousSystem_(_system) { _config = &config_; }
  ~PrivateAptConfig() {
    _config = previousConfig_;
    _system = previousSystem_;
  }
  PrivateAptConfig(const PrivateAptConfig&) = delete;
  PrivateAptConfig& operator=(const PrivateAptConfig&) = delete;

 private:
  Configuration config_;
  Configuration* previousConfig_;
  pkgSystem* previousSystem_;
};

// APT's messages of this read become skipped lines; the thread's earlier messages are kept.
class AptMessages {
 public:
  AptMessages() { _error->PushToStack(); }
  ~AptMessages() { _error->RevertToStack(); }
  AptMessages(const AptMessages&) = delete;
  AptMessages& operator=(const AptMessages&) = delete;
  std::vector<std::string> take() {
    std::ostringstream out;
    _error->DumpErrors(out, GlobalError::WARNING, false);
    std::istringstream text(out.str());
    std::vector<std::string> lines;
    for (std::string line; std::getline(text, line);) {
      if (!line.empty()) lines.push_back("APT catalogue: " + line);
    }
    _error->Discard();
    return lines;
  }
};

// A folder of our own, removed with what it holds.
class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (fs::temp_directory_path() / "qelvora-apt-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// APT refuses the whole catalogue when one list cannot be parsed. Such lists are set aside: the
// catalogue is read again from a folder of links to the other lists (and an empty dpkg status in
// place of a broken one).
struct SetAside {
  std::vector<std::string> files;
  TempFolder folder;
  std::string lists, status;  // where the configuration has them
  bool has(const std::string& file) const {
    return std::find(files.begin(), files.end(), file) != files.end();
  }
};

// The lists (and dpkg status) that APT's messages name, by their own path or their link's.
std::vector<std::string> namedIn(const std::vector<std::string>& messages, const SetAside& aside) {
  std::vector<std::string> files = {aside.status};
  std::error_code ec;
  for (fs::directory_iterator it(aside.lists, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    files.push_back(it->path().string());
  }
  std::vector<std::string> named;
  for (const std::string& file : files) {
    std::string link = (aside.folder.path() / "lists" / fs::path(file).filename()).string();
    for (const std::string& message : messages) {
      if (!aside.has(file) &&
          (message.find(file) != std::string::npos || message.find(link) != std::string::npos)) {
        named.push_back(file);
        break;
      }
    }
  }
  return named;
}

bool configure(const AptSource& source, SetAside& aside) {
  if (!source.root.empty()) _config->Set("Dir", fs::absolute(source.root).string() + "/");
  if (!pkgInitConfig(*_config)) return false;
  if (!source.root.empty()) {
    _config->Set("Dir::State::status",
                 (fs::absolute(source.root) / "var/lib/dpkg/status").string());
  }
  aside.lists = _config->FindDir("Dir::State::lists");
  aside.status = _config->FindFile("Dir::State::status");
  if (!aside.files.empty()) {
    fs::path lists = aside.folder.path() / "lists";
    std::error_code ec;
    fs::remove_all(lists, ec);
    fs::create_directory(lists, ec);
    for (fs::directory_iterator it(aside.lists, ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
      if (aside.has(it->path().string())) continue;
      std::error_code linkError;
      fs::create_symlink(it->path(), lists / it->path().filename(), linkError);
    }
    _config->Set("Dir::State::lists", lists.string() + "/");
    if (aside.has(aside.status)) {
      std::ofstream(aside.folder.path() / "status");
      _config->Set("Dir::State::status", (aside.folder.path() / "status").string());
    }
  }
  // Built in memory: an empty cache file name keeps APT from writing /var/cache/apt.
  _config->Set("Dir::Cache::pkgcache", "");
  _config->Set("Dir::Cache::srcpkgcache", "");
  // Chinese first wherever a translation has been fetched, then the lists' own English.
  _config->Clear("Acquire::Languages");
  _config->Set("Acquire::Languages::", "zh_CN");
  _config->Set("Acquire::Languages::", "en");
  if (!pkgInitSystem(*_config, _system) || _system == nullptr) return false;
  // APT caches these on first use; refresh them for this root.
  APT::Configuration::getLanguages(true, false);
  APT::Configuration::getLanguages(false, false);
  APT::Configuration::getArchitectures(false);
  return true;
}

// ---- icons ----

bool isPng(const fs::path& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  static constexpr unsigned char kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  unsigned char head[8] = {};
  bool ok = ::read(fd, head, sizeof head) == ssize_t(sizeof head) &&
            std::memcmp(head, kSignature, sizeof head) == 0;
  ::close(fd);
  return ok;
}

// The PNG files of one folder, sorted so that the choice among several icons is stable.
std::vector<fs::path> pngFiles(const fs::path& dir) {
  constexpr std::size_t kMaxEntries = 200000;
  std::vector<fs::path> files;
  std::error_code ec;
  fs::directory_iterator it(dir, ec);
  for (; !ec && it != fs::directory_iterator() && files.size() < kMaxEntries; it.increment(ec)) {
    const fs::path& p = it->path();
    if (p.extension() == ".png") files.push_back(p);
  }
  std::sort(files.begin(), files.end());
  return files;
}

using IconMap = std::unordered_map<std::string, std::string>;

void addIcon(IconMap& icons, std::string name, const fs::path& file) {
  if (name.empty() || icons.count(name) != 0) return;
  std::error_code ec;
  if (!fs::is_regular_file(file, ec) || !isPng(file)) return;
  icons.emplace(std::move(name), file.string());
}

// Package name to icon file, best first: AppStream's cached icons (named PACKAGE_ICON.png), then
// the hicolor theme and the pixmaps folder (named after the package).
IconMap findIcons(const fs::path& root) {
  static constexpr std::array<const char*, 3> kSizes = {"64x64", "128x128", "48x48"};
  IconMap icons;
  for (const char* catalog : {"usr/share/swcatalog/icons", "var/lib/swcatalog/icons",
                              "usr/share/app-info/icons", "var/lib/app-info/icons"}) {
    std::error_code ec;
    std::vector<fs::path> origins;
    for (fs::directory_iterator it(root / catalog, ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
      origins.push_back(it->path());
    }
    std::sort(origins.begin(), origins.end());
    for (const char* size : kSizes) {
      for (const fs::path& origin : origins) {
        for (const fs::path& file : pngFiles(origin / size)) {
          std::string stem = file.stem().string();
          std::size_t cut = stem.find('_');
          if (cut != std::string::npos) addIcon(icons, stem.substr(0, cut), file);
        }
      }
    }
  }
  for (const char* size : kSizes) {
    for (const fs::path& file : pngFiles(root / "usr/share/icons/hicolor" / size / "apps")) {
      addIcon(icons, file.stem().string(), file);
    }
  }
  for (const fs::path& file : pngFiles(root / "usr/share/pixmaps")) {
    addIcon(icons, file.stem().string(), file);
  }
  return icons;
}

// ---- text ----

std::string keyFor(std::string_view name) {
  std::string key = "pkg-";
  for (char c : name) {
    bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                 c == '.' || c == '_' || c == '-';
    key += plain ? c : '_';
  }
  return key;
}

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

// Only a web address is a download address; anything else (ftp, text, a space or control
// character) leaves the page step to use the package's own page.
std::string webHomepage(std::string_view field) {
  field = trim(field);
  if (!startsWithNoCase(field, "http://") && !startsWithNoCase(field, "https://")) return {};
  for (unsigned char c : field) {
    if (c <= 0x20 || c == 0x7f) return {};
  }
  return std::string(field);
}

bool isBullet(std::string_view line) {
  return line.size() >= 2 && line[1] == ' ' &&
         (line[0] == '*' || line[0] == '-' || line[0] == '+' || line[0] == 'o');
}

// The extended description's lines (each after one leading space) as plain text: " ." separates
// paragraphs, wrapped lines are joined (without a space between two Chinese characters), and
// indented or bulleted lines stay lines of their own.
std::string bodyText(std::string_view lines) {
  std::string body;
  bool open = false;       // the last line of body is a paragraph that may go on
  bool paragraph = false;  // a blank line is due before the next text
  while (!lines.empty()) {
    std::size_t end = lines.find('\n');
    std::string_view line = lines.substr(0, end);
    lines.remove_prefix(end == std::string_view::npos ? lines.size() : end + 1);
    if (!line.empty() && line.front() == ' ') line.remove_prefix(1);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r')) {
      line.remove_suffix(1);
    }
    if (trim(line).empty() || trim(line) == ".") {
      paragraph = !body.empty();
      open = false;
      continue;
    }
    bool verbatim = line.front() == ' ' || line.front() == '\t' || isBullet(line);
    if (open && !verbatim && !paragraph) {
      bool cjkJoin = static_cast<unsigned char>(body.back()) >= 0x80 &&
                     static_cast<unsigned char>(line.front()) >= 0x80;
      if (!cjkJoin) body += ' ';
      body += line;
      continue;
    }
    if (!body.empty()) body += paragraph ? "\n\n" : "\n";
    paragraph = false;
    body += line;
    open = !verbatim;
  }
  return body;
}

// ---- the catalogue ----

struct Package {
  std::string name;
  std::string version;
  std::string homepage;
  std::string description;  // APT's long description: the summary line, then the extended lines
};

// A record to read: the version's (for the homepage) or the description's.
struct RecordAt {
  std::uint64_t file;
  std::uint64_t offset;
  std::size_t package;
  pkgCache::VerFileIterator version;
  pkgCache::DescFileIterator description;
};

pkgCache::VerIterator candidateOf(pkgCache::GrpIterator group, pkgPolicy& policy) {
  pkgCache::PkgIterator preferred = group.FindPreferredPkg(true);
  if (!preferred.end()) {
    pkgCache::VerIterator ver = policy.GetCandidateVer(preferred);
    if (!ver.end()) return ver;
  }
  for (pkgCache::PkgIterator pkg = group.PackageList(); !pkg.end(); pkg = group.NextPkg(pkg)) {
    pkgCache::VerIterator ver = policy.GetCandidateVer(pkg);
    if (!ver.end()) return ver;
  }
  return pkgCache::VerIterator();
}

// Nothing when APT could not build its cache from the lists.
std::optional<std::vector<Package>> readPackages(pkgCacheFile& cacheFile) {
  std::vector<Package> packages;
  pkgCache* cache = cacheFile.GetPkgCache();
  pkgPolicy* policy = cache == nullptr ? nullptr : cacheFile.GetPolicy();
  if (cache == nullptr || policy == nullptr) return std::nullopt;

  std::vector<RecordAt> records;
  for (pkgCache::GrpIterator group = cache->GrpBegin(); !group.end(); ++group) {
    pkgCache::VerIterator ver = candidateOf(group, *policy);
    if (ver.end()) continue;
    std::size_t index = packages.size();
    packages.push_back({group.Name(), ver.VerStr(), {}, {}});
    pkgCache::VerFileIterator verFile = ver.FileList();
    if (!verFile.end()) {
      records.push_back({verFile.File()->ID, verFile->Offset, index, verFile, {}});
    }
    // The lists often carry only the summary (the long text is in Translation-en or, for an
    // installed package, in dpkg's status): every file of the chosen description is read and the
    // longest text kept. Without Chinese, any English description will do.
    pkgCache::DescIterator chosen = ver.TranslatedDescription();
    bool chinese = !chosen.end() && std::string_view(chosen.LanguageCode()).substr(0, 2) == "zh";
    for (pkgCache::DescIterator desc = ver.DescriptionList(); !desc.end(); ++desc) {
      std::string_view language = desc.LanguageCode();
      if (chinese ? desc != chosen : !(language.empty() || language == "en")) continue;
      for (pkgCache::DescFileIterator file = desc.FileList(); !file.end(); ++file) {
        records.push_back({file.File()->ID, file->Offset, index, {}, file});
      }
    }
  }

  // In file order, each record once: the compressed lists only read forwards, so a step back
  // (even to the record just read) reopens the file and unpacks it again up to that place.
  std::sort(records.begin(), records.end(), [](const RecordAt& a, const RecordAt& b) {
    return a.file != b.file ? a.file < b.file : a.offset < b.offset;
  });
  pkgRecords recordFiles(*cache);
  pkgRecords::Parser* parser = nullptr;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const RecordAt& at = records[i];
    if (i == 0 || at.file != records[i - 1].file || at.offset != records[i - 1].offset) {
      parser =
          at.version.end() ? &recordFiles.Lookup(at.description) : &recordFiles.Lookup(at.version);
    }
    Package& package = packages[at.package];
    if (!at.version.end()) {
      package.homepage = webHomepage(parser->RecordField("Homepage"));
    } else {
      std::string text = parser->LongDesc();
      if (text.size() > package.description.size()) package.description = std::move(text);
    }
  }
  return packages;
}

Document documentFor(Package&& package, const IconMap& icons) {
  Document doc;
  doc.site = Site::software;
  doc.key = keyFor(package.name);
  std::string_view description = package.description;
  std::size_t firstLineEnd = description.find('\n');
  std::string_view summary = trim(description.substr(0, firstLineEnd));
  doc.title = summary.empty() ? package.name : package.name + " - " + std::string(summary);
  if (firstLineEnd != std::string_view::npos) {
    doc.body = bodyText(description.substr(firstLineEnd + 1));
  }
  doc.link = "apt show " + package.name;
  auto icon = icons.find(package.name);
  if (icon != icons.end()) doc.picture = icon->second;
  doc.names.push_back(std::move(package.name));
  doc.version = std::move(package.version);
  doc.homepage = std::move(package.homepage);
  return doc;
}

}  // namespace

std::vector<Document> readAptCatalogue(const AptSource& source, Skipped& skipped) {
  std::vector<Package> packages;
  {
    std::lock_guard lock(aptMutex);
    ThreadUtf8Locale utf8;
    if (!utf8.ok()) skipped.push_back("APT catalogue: no UTF-8 locale, translations may be lost");
    SetAside aside;
    // Each round sets aside at least one more of the lists that APT named; a bounded number.
    for (int round = 0; round < 16; ++round) {
      std::optional<std::vector<Package>> read;
      std::vector<std::string> messages;
      {
        PrivateAptConfig config;
        AptMessages errors;
        if (configure(source, aside)) {
          pkgCacheFile cacheFile;
          read = readPackages(cacheFile);
        }
        messages = errors.take();
      }
      std::vector<std::string> broken =
          read ? std::vector<std::string>() : namedIn(messages, aside);
      if (!broken.empty() && !aside.folder.path().empty()) {
        for (std::string& file : broken) {
          skipped.push_back(file + ": APT cannot read this list; the others are read");
          aside.files.push_back(std::move(file));
        }
        continue;
      }
      skipped.insert(skipped.end(), messages.begin(), messages.end());
      if (read) packages = std::move(*read);
      break;
    }
  }

  IconMap icons = findIcons(source.root.empty() ? fs::path("/") : source.root);
  std::vector<Document> documents;
  documents.reserve(packages.size());
  for (Package& package : packages) documents.push_back(documentFor(std::move(package), icons));
  return documents;
}

}  // namespace qelvora::sites::knowledge
