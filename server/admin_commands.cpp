#include "admin_commands.h"

#include "account_server.h"
#include "account_store.h"
#include "account_text.h"
#include "password_hasher.h"
#include "platform/atomic_file_writer.h"
#include "server_config.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QUuid>

#include <grp.h>
#include <sodium.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace {

constexpr int kUsageError = 2;
constexpr qint64 kHashBlock = 1024 * 1024;

// Options each command takes; the values every one of them requires come first.
const QHash<QString, QStringList>& knownOptions()
{
    static const QHash<QString, QStringList> options{
        {QStringLiteral("serve"), {QStringLiteral("config")}},
        {QStringLiteral("user add"),
         {QStringLiteral("config"), QStringLiteral("email"), QStringLiteral("name")}},
        {QStringLiteral("user disable"), {QStringLiteral("config"), QStringLiteral("email")}},
        {QStringLiteral("user enable"), {QStringLiteral("config"), QStringLiteral("email")}},
        {QStringLiteral("user list"), {QStringLiteral("config")}},
        {QStringLiteral("user sign-out"), {QStringLiteral("config"), QStringLiteral("email")}},
        {QStringLiteral("team add-member"),
         {QStringLiteral("config"), QStringLiteral("owner"), QStringLiteral("member")}},
        {QStringLiteral("team remove-member"),
         {QStringLiteral("config"), QStringLiteral("owner"), QStringLiteral("member")}},
        {QStringLiteral("team list"), {QStringLiteral("config"), QStringLiteral("owner")}},
        {QStringLiteral("device list"), {QStringLiteral("config"), QStringLiteral("email")}},
        {QStringLiteral("device remove"),
         {QStringLiteral("config"), QStringLiteral("email"), QStringLiteral("client-id")}},
        {QStringLiteral("update set"),
         {QStringLiteral("config"), QStringLiteral("platform"), QStringLiteral("version"),
          QStringLiteral("file")}},
        {QStringLiteral("update clear"), {QStringLiteral("config"), QStringLiteral("platform")}},
        {QStringLiteral("update show"), {QStringLiteral("config"), QStringLiteral("platform")}},
    };
    return options;
}

const QStringList& optionalOptions()
{
    static const QStringList options{QStringLiteral("minimum"), QStringLiteral("notes")};
    return options;
}

QString dateText(qint64 ms)
{
    return ms > 0 ? QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODate) : QStringLiteral("-");
}

bool isValidVersion(const QString& version)
{
    static const QRegularExpression pattern(QStringLiteral("^[0-9A-Za-z.+_-]{1,64}$"));
    return pattern.match(version).hasMatch() && version.contains(QRegularExpression(QStringLiteral("\\d")));
}

// The password from standard input: typed without echo at a terminal, else the first line of
// whatever is piped in.
QByteArray readPassword()
{
    const bool terminal = isatty(STDIN_FILENO) == 1;
    termios saved{};
    if (terminal) {
        std::fputs("Password: ", stderr);
        std::fflush(stderr);
        tcgetattr(STDIN_FILENO, &saved);
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    QByteArray password(4096, '\0');
    qsizetype length = 0;
    char c = 0;
    while (length < password.size() && read(STDIN_FILENO, &c, 1) == 1 && c != '\n') {
        password[length++] = c;
    }
    if (terminal) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fputs("\n", stderr);
    }
    if (length > 0 && password.at(length - 1) == '\r') {
        --length;
    }
    QByteArray result = password.left(length);
    sodium_memzero(password.data(), static_cast<size_t>(password.size()));
    return result;
}

QString sha256Of(const QString& path, QString* error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return {};
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    while (!file.atEnd()) {
        const QByteArray block = file.read(kHashBlock);
        if (block.isEmpty() && file.error() != QFileDevice::NoError) {
            *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
            return {};
        }
        hash.addData(block);
    }
    return QString::fromLatin1(hash.result().toHex());
}

// The group the service runs as: the group of its configuration file, which it must be able to read
// (the package's instructions install it root:nimbara-account 0640).
std::optional<gid_t> serviceGroup(const QString& configPath, QString* error)
{
    struct stat info = {};
    if (::stat(QFile::encodeName(configPath).constData(), &info) != 0) {
        *error = QStringLiteral("cannot read %1").arg(configPath);
        return std::nullopt;
    }
    return info.st_gid;
}

QString groupName(gid_t group)
{
    const struct group* entry = ::getgrgid(group);
    return entry ? QString::fromLocal8Bit(entry->gr_name) : QString::number(group);
}

// Hands `path` to the service's group with at least `mode` for it; the command may run as root (sudo)
// with umask 077, and the service, another user, would then answer 404 for its own files.
bool shareWithService(const QString& path, gid_t group, mode_t mode, QString* error)
{
    const QByteArray native = QFile::encodeName(path);
    struct stat info = {};
    if (::lstat(native.constData(), &info) != 0) {
        *error = QStringLiteral("cannot read %1").arg(path);
        return false;
    }
    const mode_t forOthers = (mode >> 3) & 07;
    if ((info.st_mode & forOthers) == forOthers) {
        return true; // everyone may, the service too
    }
    if (info.st_gid != group && ::chown(native.constData(), static_cast<uid_t>(-1), group) != 0) {
        *error = QStringLiteral("cannot give %1 to the group %2 the service runs as; run the command as "
                                "root or as a member of %2")
                     .arg(path, groupName(group));
        return false;
    }
    if ((info.st_mode & mode) != mode && ::chmod(native.constData(), (info.st_mode & 07777) | mode) != 0) {
        *error = QStringLiteral("cannot make %1 readable by the group %2 the service runs as")
                     .arg(path, groupName(group));
        return false;
    }
    return true;
}

// Creates `path` and its missing parents, each readable by the service's group; an existing `path`
// is opened to that group too.
bool makeServiceDirectory(const QString& path, gid_t group, QString* error)
{
    QStringList missing;
    for (QString level = QDir::cleanPath(QDir(path).absolutePath()); !QFileInfo::exists(level);
         level = QFileInfo(level).absolutePath()) {
        missing.prepend(level);
        if (level == QLatin1String("/")) {
            break;
        }
    }
    for (const QString& level : missing) {
        if (::mkdir(QFile::encodeName(level).constData(), 0750) != 0 && errno != EEXIST) {
            *error = QStringLiteral("cannot create %1").arg(level);
            return false;
        }
        if (!shareWithService(level, group, 0750, error)) {
            return false;
        }
    }
    if (missing.isEmpty() && !shareWithService(path, group, S_IRGRP | S_IXGRP, error)) {
        return false;
    }
    return true;
}

} // namespace

AdminCommands::AdminCommands(Output out, Output err) : m_out(std::move(out)), m_err(std::move(err)) {}

AdminCommands::~AdminCommands() = default;

QString AdminCommands::usage()
{
    return QStringLiteral(
        "usage: nimbara-account-server COMMAND --config FILE [options]\n"
        "  serve\n"
        "  user add --email E --name N          (password from standard input)\n"
        "  user disable --email E | user enable --email E | user list\n"
        "  user sign-out --email E              (ends every session of the user)\n"
        "  team add-member --owner E --member E | team remove-member --owner E --member E | team list "
        "--owner E\n"
        "  device list --email E | device remove --email E --client-id ID\n"
        "  update set --platform linux|windows --version V --file PATH [--minimum V] [--notes TEXT]\n"
        "  update clear --platform P | update show --platform P");
}

int AdminCommands::fail(const QString& reason, int code)
{
    m_err(QStringLiteral("nimbara-account-server: ") + reason);
    return code;
}

bool AdminCommands::parse(const QStringList& arguments, Options* options, QString* error) const
{
    qsizetype index = 0;
    if (arguments.isEmpty()) {
        *error = QStringLiteral("no command given");
        return false;
    }
    options->group = arguments.at(index++);
    if (options->group != QLatin1String("serve")) {
        if (index >= arguments.size()) {
            *error = QStringLiteral("\"%1\" needs a subcommand").arg(options->group);
            return false;
        }
        options->verb = arguments.at(index++);
    }
    const QString command =
        options->verb.isEmpty() ? options->group : options->group + QLatin1Char(' ') + options->verb;
    if (!knownOptions().contains(command)) {
        *error = QStringLiteral("unknown command \"%1\"").arg(command);
        return false;
    }
    const QStringList& required = knownOptions().value(command);
    while (index < arguments.size()) {
        QString argument = arguments.at(index++);
        if (!argument.startsWith(QLatin1String("--"))) {
            *error = QStringLiteral("unexpected argument \"%1\"").arg(argument);
            return false;
        }
        argument.remove(0, 2);
        QString value;
        const qsizetype equals = argument.indexOf(QLatin1Char('='));
        if (equals >= 0) {
            value = argument.mid(equals + 1);
            argument.truncate(equals);
        } else if (index < arguments.size()) {
            value = arguments.at(index++);
        } else {
            *error = QStringLiteral("--%1 needs a value").arg(argument);
            return false;
        }
        const bool allowed = required.contains(argument) ||
                             (command == QLatin1String("update set") && optionalOptions().contains(argument));
        if (!allowed) {
            *error = QStringLiteral("\"%1\" does not take --%2").arg(command, argument);
            return false;
        }
        options->values.insert(argument, value);
    }
    for (const QString& name : required) {
        if (options->values.value(name).isEmpty()) {
            *error = QStringLiteral("\"%1\" needs --%2").arg(command, name);
            return false;
        }
    }
    return true;
}

int AdminCommands::run(const QStringList& arguments)
{
    if (arguments.size() == 1 &&
        (arguments.first() == QLatin1String("--help") || arguments.first() == QLatin1String("help"))) {
        m_out(usage());
        return 0;
    }
    Options options;
    QString error;
    if (!parse(arguments, &options, &error)) {
        m_err(usage());
        return fail(error, kUsageError);
    }
    if (sodium_init() < 0) {
        return fail(QStringLiteral("libsodium could not start"));
    }
    if (options.group == QLatin1String("serve")) {
        return serve(options);
    }
    if (options.group == QLatin1String("user")) {
        return userCommand(options);
    }
    if (options.group == QLatin1String("team")) {
        return teamCommand(options);
    }
    if (options.group == QLatin1String("device")) {
        return deviceCommand(options);
    }
    return updateCommand(options);
}

int AdminCommands::serve(const Options& options)
{
    ServerConfig config;
    QString error;
    if (!ServerConfig::load(options.values.value(QStringLiteral("config")), &config, &error)) {
        return fail(error);
    }
    // Runs while the caller runs the event loop, and stops with this object.
    m_server = std::make_unique<AccountServer>(config);
    if (!m_server->start(&error)) {
        m_server.reset();
        return fail(error);
    }
    m_out(QStringLiteral("nimbara-account-server listening on %1://%2 (public address %3)")
              .arg(config.usesTls() ? QStringLiteral("https") : QStringLiteral("http"),
                   config.listenText(m_server->port()), m_server->publicBase()));
    m_serving = true;
    return 0;
}

namespace {

// Opens the database named by --config for one command.
bool openStore(const QString& configPath, AccountStore* store, ServerConfig* config, QString* error)
{
    return ServerConfig::load(configPath, config, error) && store->open(*config, error);
}

} // namespace

int AdminCommands::userCommand(const Options& options)
{
    AccountStore store;
    ServerConfig config;
    QString error;
    if (!openStore(options.values.value(QStringLiteral("config")), &store, &config, &error)) {
        return fail(error);
    }
    const QString email = AccountText::normalized(options.values.value(QStringLiteral("email")));
    if (options.verb == QLatin1String("add")) {
        // The rule registration follows: no look-alike entries in `user list`.
        const std::optional<QString> validEmail = AccountText::email(email);
        const std::optional<QString> name = AccountText::name(options.values.value(QStringLiteral("name")));
        if (!validEmail || !name) {
            return fail(QStringLiteral("a valid e-mail address and a name are required (no control, "
                                       "tab or invisible characters)"));
        }
        QByteArray password = readPassword();
        const int length = static_cast<int>(QString::fromUtf8(password).toUcs4().size());
        if (length < 12 || password.size() > 1024) {
            sodium_memzero(password.data(), static_cast<size_t>(password.size()));
            return fail(QStringLiteral("the password must have 12 to 1024 characters"));
        }
        UserRecord user;
        user.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
        user.email = *validEmail;
        user.name = *name;
        user.passwordHash = PasswordHasher::hashNow(password);
        user.createdMs = store.now();
        sodium_memzero(password.data(), static_cast<size_t>(password.size()));
        if (user.passwordHash.isEmpty()) {
            return fail(QStringLiteral("the password could not be hashed (out of memory)"));
        }
        switch (store.addUser(user)) {
        case AccountStore::Insert::Exists:
            return fail(QStringLiteral("email already exists: %1").arg(email));
        case AccountStore::Insert::Failed:
            return fail(store.lastError());
        case AccountStore::Insert::Done:
            break;
        }
        m_out(QStringLiteral("added %1 (%2)").arg(email, user.id));
        return 0;
    }
    if (options.verb == QLatin1String("list")) {
        const std::optional<QList<UserRecord>> users = store.users();
        if (!users) {
            return fail(store.lastError());
        }
        m_out(QStringLiteral("email\tname\tid\tstatus\tteam\tcreated"));
        for (const UserRecord& user : *users) {
            const QString owner = store.ownerOf(user.id).value_or(QString());
            QString team = QStringLiteral("owner");
            if (!owner.isEmpty()) {
                team = QStringLiteral("member of ") + store.userById(owner).value_or(UserRecord()).email;
            }
            m_out(QStringLiteral("%1\t%2\t%3\t%4\t%5\t%6")
                      .arg(user.email, user.name, user.id,
                           user.disabled ? QStringLiteral("disabled") : QStringLiteral("active"), team,
                           dateText(user.createdMs)));
        }
        return 0;
    }
    const std::optional<UserRecord> user = store.userByEmail(email);
    if (!user) {
        return fail(QStringLiteral("no user with the e-mail address %1").arg(email));
    }
    if (options.verb == QLatin1String("sign-out")) {
        const int ended = store.endUserSessions(user->id);
        if (ended < 0) {
            return fail(store.lastError());
        }
        m_out(QStringLiteral("ended %1 session(s) of %2").arg(ended).arg(user->email));
        return 0;
    }
    const bool disable = options.verb == QLatin1String("disable");
    if (!store.setUserDisabled(user->id, disable)) {
        return fail(store.lastError());
    }
    m_out(QStringLiteral("%1 %2").arg(disable ? QStringLiteral("disabled") : QStringLiteral("enabled"),
                                      user->email));
    return 0;
}

int AdminCommands::teamCommand(const Options& options)
{
    AccountStore store;
    ServerConfig config;
    QString error;
    if (!openStore(options.values.value(QStringLiteral("config")), &store, &config, &error)) {
        return fail(error);
    }
    const std::optional<UserRecord> owner = store.userByEmail(options.values.value(QStringLiteral("owner")));
    if (!owner) {
        return fail(QStringLiteral("no user with the e-mail address %1")
                        .arg(options.values.value(QStringLiteral("owner"))));
    }
    if (options.verb == QLatin1String("list")) {
        const std::optional<QList<UserRecord>> members = store.teamMembers(owner->id);
        if (!members) {
            return fail(store.lastError());
        }
        for (const UserRecord& member : *members) {
            m_out(QStringLiteral("%1\t%2\t%3").arg(member.email, member.name, member.id));
        }
        return 0;
    }
    const std::optional<UserRecord> member =
        store.userByEmail(options.values.value(QStringLiteral("member")));
    if (!member) {
        return fail(QStringLiteral("no user with the e-mail address %1")
                        .arg(options.values.value(QStringLiteral("member"))));
    }
    const bool adding = options.verb == QLatin1String("add-member");
    const AccountStore::TeamChange result =
        adding ? store.addTeamMember(owner->id, member->id) : store.removeTeamMember(owner->id, member->id);
    switch (result) {
    case AccountStore::TeamChange::Done:
        m_out(adding ? QStringLiteral("%1 is now a member of %2's team").arg(member->email, owner->email)
                     : QStringLiteral("%1 left %2's team").arg(member->email, owner->email));
        return 0;
    case AccountStore::TeamChange::SameUser:
        return fail(QStringLiteral("an owner cannot be a member of their own team"));
    case AccountStore::TeamChange::AlreadyMember:
        return fail(QStringLiteral("%1 is already a member of %2's team").arg(member->email, owner->email));
    case AccountStore::TeamChange::MemberOfAnother:
        return fail(QStringLiteral("%1 is a member of another team").arg(member->email));
    case AccountStore::TeamChange::OwnerIsMember:
        return fail(QStringLiteral("%1 is a member of a team and cannot own one").arg(owner->email));
    case AccountStore::TeamChange::MemberIsOwner:
        return fail(QStringLiteral("%1 owns a team and cannot join another").arg(member->email));
    case AccountStore::TeamChange::NotMember:
        return fail(QStringLiteral("%1 is not a member of %2's team").arg(member->email, owner->email));
    case AccountStore::TeamChange::Failed:
        break;
    }
    return fail(store.lastError());
}

int AdminCommands::deviceCommand(const Options& options)
{
    AccountStore store;
    ServerConfig config;
    QString error;
    if (!openStore(options.values.value(QStringLiteral("config")), &store, &config, &error)) {
        return fail(error);
    }
    const QString email = options.values.value(QStringLiteral("email"));
    const std::optional<UserRecord> user = store.userByEmail(email);
    if (!user) {
        return fail(QStringLiteral("no user with the e-mail address %1").arg(email));
    }
    if (options.verb == QLatin1String("list")) {
        const std::optional<QList<DeviceRecord>> devices = store.devices(user->id);
        if (!devices) {
            return fail(store.lastError());
        }
        m_out(QStringLiteral("client_id\tname\ttype\tstatus\tfirst_seen\tlast_seen"));
        for (const DeviceRecord& device : *devices) {
            m_out(QStringLiteral("%1\t%2\t%3\t%4\t%5\t%6")
                      .arg(device.clientId, device.clientName, device.clientType,
                           device.removed ? QStringLiteral("removed") : QStringLiteral("bound"),
                           dateText(device.firstSeenMs), dateText(device.lastSeenMs)));
        }
        return 0;
    }
    const QString clientId = options.values.value(QStringLiteral("client-id"));
    switch (store.removeDevice(user->id, clientId)) {
    case AccountStore::Removal::Done:
        m_out(QStringLiteral("removed device %1 of %2; its sessions have ended").arg(clientId, user->email));
        return 0;
    case AccountStore::Removal::NotFound:
        return fail(QStringLiteral("%1 has no device %2").arg(user->email, clientId));
    case AccountStore::Removal::Failed:
        break;
    }
    return fail(store.lastError());
}

int AdminCommands::updateCommand(const Options& options)
{
    AccountStore store;
    ServerConfig config;
    QString error;
    if (!openStore(options.values.value(QStringLiteral("config")), &store, &config, &error)) {
        return fail(error);
    }
    const QString platform = options.values.value(QStringLiteral("platform"));
    if (platform != QLatin1String("linux") && platform != QLatin1String("windows")) {
        return fail(QStringLiteral("--platform must be linux or windows"));
    }
    const QString base = config.publicBase(config.listenPort);
    if (options.verb == QLatin1String("clear")) {
        if (!store.clearUpdate(platform)) {
            return fail(store.lastError());
        }
        m_out(QStringLiteral("no update is announced for %1").arg(platform));
        return 0;
    }
    if (options.verb == QLatin1String("show")) {
        bool failed = false;
        const std::optional<UpdateRecord> record = store.update(platform, &failed);
        if (failed) {
            return fail(store.lastError());
        }
        if (!record) {
            m_out(QStringLiteral("no update is announced for %1").arg(platform));
            return 0;
        }
        m_out(QStringLiteral("%1 %2 (minimum %3) %4/downloads/%5 sha256 %6")
                  .arg(platform, record->version,
                       record->minimumVersion.isEmpty() ? QStringLiteral("-") : record->minimumVersion, base,
                       record->fileName, record->sha256));
        return 0;
    }

    if (config.updateDirectory.isEmpty()) {
        return fail(QStringLiteral("set [update] directory in the configuration first"));
    }
    UpdateRecord record;
    record.platform = platform;
    record.version = options.values.value(QStringLiteral("version")).trimmed();
    record.minimumVersion = options.values.value(QStringLiteral("minimum")).trimmed();
    record.notes = options.values.value(QStringLiteral("notes")).trimmed();
    if (!isValidVersion(record.version) ||
        (!record.minimumVersion.isEmpty() && !isValidVersion(record.minimumVersion))) {
        return fail(
            QStringLiteral("versions are made of digits, letters, '.', '+', '_' and '-' (at most 64)"));
    }
    const QFileInfo source(options.values.value(QStringLiteral("file")));
    if (!source.isFile()) {
        return fail(QStringLiteral("no file %1").arg(source.filePath()));
    }
    static const QRegularExpression safeName(QStringLiteral("\\A[A-Za-z0-9_+-][A-Za-z0-9._+-]{0,200}\\z"));
    record.fileName = source.fileName();
    if (!safeName.match(record.fileName).hasMatch()) {
        return fail(QStringLiteral("the file name may only hold letters, digits, '.', '_', '+' and '-'"));
    }
    const std::optional<gid_t> group = serviceGroup(options.values.value(QStringLiteral("config")), &error);
    if (!group || !makeServiceDirectory(config.updateDirectory, *group, &error)) {
        return fail(error);
    }
    const QString target = QDir(config.updateDirectory).filePath(record.fileName);
    if (QFileInfo(target).canonicalFilePath() != source.canonicalFilePath()) {
        QFile input(source.filePath());
        if (!input.open(QIODevice::ReadOnly)) {
            return fail(QStringLiteral("cannot read %1: %2").arg(source.filePath(), input.errorString()));
        }
        // Installers are public: readable by everyone, like any download.
        if (!AtomicFileWriter::write(target, input.readAll(), 0644, AtomicFileWriter::Existing::Replace,
                                     &error)) {
            return fail(QStringLiteral("cannot write %1").arg(target));
        }
    }
    if (!shareWithService(target, *group, S_IRGRP, &error)) {
        return fail(error);
    }
    // The digest of the copy that will be served.
    record.sha256 = sha256Of(target, &error);
    if (record.sha256.isEmpty()) {
        return fail(error);
    }
    if (!store.setUpdate(record)) {
        return fail(store.lastError());
    }
    m_out(QStringLiteral("%1 %2 announced: %3/downloads/%4 sha256 %5")
              .arg(platform, record.version, base, record.fileName, record.sha256));
    return 0;
}
