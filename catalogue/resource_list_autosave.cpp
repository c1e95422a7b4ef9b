#include "catalogue/resource_list_autosave.h"

#include "catalogue/catalogue.h"

namespace quorrel {

ResourceListAutosave::ResourceListAutosave(Catalogue &catalogue, QObject *parent)
    : QObject(parent), m_catalogue(catalogue)
{
    m_timer.setSingleShot(true);
    m_timer.setInterval(kResourceListAutosaveMs);
    connect(&m_timer, &QTimer::timeout, this, &ResourceListAutosave::save);
    connect(&m_writing, &QFutureWatcher<std::optional<QString>>::finished, this, &ResourceListAutosave::written);
    // Resources come and go, and addresses change, as the tree has them: the views may be
    // told a moment later. A rebuild reads the list it would write, and a ticked box or an
    // expanded branch is not in the file: neither counts.
    connect(&m_catalogue.tree(), &ResourceTree::resourcesChanged, this, &ResourceListAutosave::changed);
}

void ResourceListAutosave::changed()
{
    if (!m_timer.isActive())
        m_timer.start();
}

void ResourceListAutosave::save()
{
    if (m_writing.isRunning()) {
        m_again = true; // written once this one is done
        return;
    }
    ++m_writes;
    m_writing.setFuture(m_catalogue.SaveResourceListInBackground());
}

void ResourceListAutosave::written()
{
    if (const std::optional<QString> error = m_writing.result()) {
        if (*error != m_lastFailure) {
            m_lastFailure = *error;
            emit saveFailed(*error);
        }
    } else {
        m_lastFailure.clear();
    }
    if (m_again) {
        m_again = false;
        save();
    }
}

} // namespace quorrel
