#include "catalogue/catalogue.h"

#include "catalogue/media_by_request.h"

#include <QtConcurrent/QtConcurrentRun>

#include <utility>
#include <vector>

namespace quorrel {

namespace {

// The type number of the category a saved line names, when the tree has that category
// under one of its roots (the number is its Link); 0 otherwise.
int typeOfCategory(const ResourceTree &tree, const QString &category)
{
    const TreeNode *node = tree.FindByCaption(TrimBlanks(category));
    if (!node || !node->isContainer() || !node->parent() || node->parent()->parent())
        return 0;
    int t = 0;
    return ReadDecimal(TrimBlanks(node->Link()), t) ? t : 0;
}

} // namespace

Catalogue::Catalogue(FilePlaces places, QString defaultSavePath)
    : m_places(std::move(places)), m_defaultSavePath(std::move(defaultSavePath))
{
}

Catalogue::Catalogue(const QString &dir, QString defaultSavePath)
    : Catalogue(FilePlacesIn(dir), std::move(defaultSavePath))
{
}

std::optional<QString> Catalogue::LoadSettings()
{
    // A config.ini that exists but cannot be read gives the defaults, as a missing one
    // does, but the user is told: the types they set up are not lost, only not readable.
    std::optional<QString> configError;
    m_settings = ReadSettingsValues(configPath(), m_defaultSavePath, &configError);
    const std::optional<QString> listError = RebuildResourceTree();
    return configError ? configError : listError;
}

std::optional<QString> Catalogue::RebuildResourceTree()
{
    // The headers captured in this run live in memory only, never in zywj.txt: the list
    // filed again would come back without them, and a protected resource would then fail
    // to download. They go back to the same addresses.
    std::vector<std::pair<QString, RequestHeaders>> captured;
    m_tree.forEachPreOrder([&captured](TreeNode *node, int) {
        if (node->headers())
            captured.emplace_back(node->caption(), *node->headers());
    });
    m_tree.beginRebuild();
    m_tree.BuildCategories(m_settings.TypeNameList);
    const std::optional<QString> error = LoadResourceList();
    for (const auto &[caption, headers] : captured)
        if (TreeNode *node = m_tree.FindByCaption(caption); node && !node->isContainer())
            m_tree.setHeaders(node, headers);
    m_tree.endRebuild();
    return error;
}

std::optional<QString> Catalogue::LoadResourceList()
{
    m_keptAside.clear();
    m_keptPagesOff = m_keptNoCategory = m_keptNoType = 0;
    const ResourceListReading reading = ReadResourceList(resourceListPath());
    m_listUnread = reading.error;
    if (reading.error)
        return reading.error;
    // Every line is filed against FoundRoot, the node at pre-order index 0.
    const TreeNode *base = m_tree.count() > 0 ? m_tree.topLevel(0) : nullptr;
    for (const ListedResource &r : reading.resources) {
        const FileMode mode = r.downloaded ? FileMode::Downloaded : FileMode::Found;
        // What was filed by its request (no extension the table knows) goes back where it
        // was saved; an extension the table knows still decides.
        const int savedType = m_settings.FileByRequest ? typeOfCategory(m_tree, r.category) : 0;
        const Classification c = quorrel::ClassifyLink(m_tree, m_settings, base, mode, r.text, nullptr,
                                                       Admission::Always, savedType);
        switch (c.outcome) {
        case Classification::Filed:
            if (c.node->parent())
                continue;
            // At the top level it would not be saved again: the line waits for a category.
            m_tree.deleteNode(c.node);
            ++m_keptNoCategory;
            break;
        case Classification::Duplicate:
            continue; // the tree holds it already
        case Classification::PagesOff:
            ++m_keptPagesOff;
            break;
        case Classification::NoType:
            ++m_keptNoType;
            break;
        case Classification::Full: // not for the saved list, which is always admitted
            break;
        }
        m_keptAside.append(r.line);
    }
    return std::nullopt;
}

std::optional<QString> Catalogue::keptAsideNote() const
{
    if (m_keptAside.isEmpty())
        return std::nullopt;
    QStringList why;
    if (TrimBlanks(m_settings.TypeNameList).isEmpty() && m_settings.TypeExtensionList.isEmpty()) {
        why << QStringLiteral("config.ini 没有定义任何类型");
    } else {
        if (m_keptPagesOff)
            why << QStringLiteral("%1 条是网页连接类型，而网页分析（fxwy）没有打开").arg(m_keptPagesOff);
        if (m_keptNoCategory)
            why << QStringLiteral("%1 条的类型在类型表中没有分类").arg(m_keptNoCategory);
        if (m_keptNoType)
            why << QStringLiteral("%1 条的类型编号小于 1").arg(m_keptNoType);
    }
    return QStringLiteral("%1 中有 %2 条资源不能按当前的类型设置归类，已原样保留在文件中（%3）。")
        .arg(kResourceListFileName)
        .arg(m_keptAside.size())
        .arg(why.join(QStringLiteral("；")));
}

Catalogue::~Catalogue()
{
    m_writing.waitForFinished(); // a save under way reaches the file
}

std::optional<QString> Catalogue::takeBackUnreadList()
{
    if (!m_listUnread)
        return std::nullopt;
    // The list could not be read when the tree was built. Once it can, its lines go back
    // with the rest, as they are; until then it stays as it is.
    const ResourceListReading reading = ReadResourceList(resourceListPath());
    if (reading.error)
        return *reading.error + QStringLiteral("。这个文件没有被替换，以免丢失其中的内容。");
    for (const ListedResource &r : reading.resources)
        m_keptAside.append(r.line);
    m_listUnread.reset();
    return std::nullopt;
}

std::optional<QString> Catalogue::SaveResourceList()
{
    m_writing.waitForFinished();
    if (const std::optional<QString> error = takeBackUnreadList())
        return error;
    return WriteResourceList(resourceListPath(), SnapshotResourceList(m_tree, m_keptAside));
}

QFuture<std::optional<QString>> Catalogue::SaveResourceListInBackground()
{
    m_writing.waitForFinished();
    if (const std::optional<QString> error = takeBackUnreadList())
        return QtFuture::makeReadyFuture(error);
    m_writing = QtConcurrent::run(&WriteResourceList, resourceListPath(), SnapshotResourceList(m_tree, m_keptAside));
    return m_writing;
}

Classification Catalogue::FileCaptured(const QString &address, const RequestHeaders *headers,
                                      const FetchHints *hints)
{
    int asked = 0;
    if (hints && m_settings.FileByRequest)
        asked = TypeOfExtension(m_settings, ExtensionOfAsked(MediaAskedFor(*hints))).value_or(0);
    return quorrel::ClassifyLink(m_tree, m_settings, m_tree.BaseNode(), FileMode::Found, address, headers,
                                 Admission::WithinCapacity, asked);
}

QString Catalogue::fullNotice() const
{
    return QStringLiteral("资源列表已满（最多 ") + QString::number(m_tree.capacity().nodes)
           + QStringLiteral(" 个节点、") + QString::number(m_tree.capacity().textBytes / (1024 * 1024))
           + QStringLiteral(" MiB 文字）：新截获的资源不再收录。下载或删除一些资源后，又可以继续收录。");
}

Classification Catalogue::ClassifyLink(const TreeNode *baseNode, FileMode mode, const QString &text,
                                       const RequestHeaders *headers, int typeIfUnknown)
{
    return quorrel::ClassifyLink(m_tree, m_settings, baseNode, mode, text, headers, Admission::Always, typeIfUnknown);
}

Catalogue::SaveOutcome Catalogue::SaveSettings(const SettingsForm &form)
{
    const QString problems = TrimBlanks(ValidateTypeGrid(form.types));
    if (!problems.isEmpty())
        return {false, InvalidGridMessage(problems)};
    // The list first: loading the new settings rebuilds the tree from it.
    if (const auto error = SaveResourceList())
        return {false, *error};
    if (const auto error = WriteSettingsForm(configPath(), form))
        return {false, *error};
    return {true, kSettingsSavedMessage};
}

} // namespace quorrel
