#include "catalogue/catalogue.h"

namespace quorrel {

Catalogue::Catalogue(QString dir, QString defaultSavePath)
    : m_dir(std::move(dir)), m_defaultSavePath(std::move(defaultSavePath))
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
    m_tree.beginRebuild();
    m_tree.BuildCategories(m_settings.TypeNameList);
    const std::optional<QString> error = LoadResourceList();
    m_tree.endRebuild();
    return error;
}

std::optional<QString> Catalogue::LoadResourceList()
{
    const ResourceListReading reading = ReadResourceList(resourceListPath());
    if (reading.error)
        return reading.error;
    // Every line is filed against FoundRoot, the node at pre-order index 0.
    const TreeNode *base = m_tree.count() > 0 ? m_tree.topLevel(0) : nullptr;
    for (const ListedResource &r : reading.resources)
        ClassifyLink(base, r.downloaded ? FileMode::Downloaded : FileMode::Found, r.text);
    return std::nullopt;
}

std::optional<QString> Catalogue::SaveResourceList() const
{
    return quorrel::SaveResourceList(m_tree, resourceListPath());
}

Classification Catalogue::ClassifyLink(const TreeNode *baseNode, FileMode mode, const QString &text)
{
    return quorrel::ClassifyLink(m_tree, m_settings, baseNode, mode, text);
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
