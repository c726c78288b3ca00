#pragma once

#include <juce_core/juce_core.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

/** Keeps opened MIDI ports between uses, so that a port asked on every poll is opened once
    instead of on every poll.

    A port is given back under its key (the port's identifier) with the stamp its owner read
    before opening it, and handed out again for that key while the stamp still holds; a port
    whose stamp no longer holds (its port has gone, see AlsaPortList::departureStamp) is closed
    instead. One port per key is kept; a second one given back under the same key is closed.

    Any thread may call. Ports are closed without the shelf's lock held, on the calling thread.
*/
template <typename Port>
class OpenPortShelf final
{
public:
    using StampOf = std::function<std::uint64_t (const juce::String& key)>;

    OpenPortShelf() = default;
    ~OpenPortShelf() { clear(); }

    /** The port kept under key if its stamp is still the current one (it leaves the shelf), or
        nullptr. Closes every kept port whose stamp no longer holds. */
    std::unique_ptr<Port> take (const juce::String& key, const StampOf& currentStamp, std::uint64_t& stamp)
    {
        std::vector<std::unique_ptr<Port>> gone;
        std::unique_ptr<Port> port;

        {
            const std::lock_guard<std::mutex> guard (lock);

            for (auto it = kept.begin(); it != kept.end();)
            {
                if (currentStamp (it->first) != it->second.stamp)
                {
                    gone.push_back (std::move (it->second.port));
                    it = kept.erase (it);
                }
                else if (it->first == key)
                {
                    stamp = it->second.stamp;
                    port = std::move (it->second.port);
                    it = kept.erase (it);
                }
                else
                {
                    ++it;
                }
            }
        }

        return port;
    }

    /** Keeps the port for the next take() of its key. */
    void giveBack (const juce::String& key, std::uint64_t stamp, std::unique_ptr<Port> port)
    {
        {
            const std::lock_guard<std::mutex> guard (lock);

            if (kept.count (key) == 0)
            {
                kept[key] = { stamp, std::move (port) };
                return;
            }
        }

        port.reset(); // one is kept under that key already
    }

    /** Closes every kept port. */
    void clear()
    {
        std::map<juce::String, Entry> closing;

        {
            const std::lock_guard<std::mutex> guard (lock);
            std::swap (closing, kept);
        }
    }

private:
    struct Entry
    {
        std::uint64_t stamp = 0;
        std::unique_ptr<Port> port;
    };

    std::mutex lock;
    std::map<juce::String, Entry> kept; // guarded by lock

    JUCE_DECLARE_NON_COPYABLE (OpenPortShelf)
};
