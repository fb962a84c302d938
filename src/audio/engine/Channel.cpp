#include "Channel.h"

#include "AudioSystem.h"

AudioResult Channel::stop()
{
    return system.channelStop(slot, generation);
}

AudioResult Channel::setPaused(bool paused)
{
    return system.channelSetPaused(slot, generation, paused);
}

AudioResult Channel::getPaused(bool* paused)
{
    return system.channelGetPaused(slot, generation, paused);
}

AudioResult Channel::getPosition(uint32_t* ms)
{
    return system.channelGetPosition(slot, generation, ms);
}

AudioResult Channel::setPosition(uint32_t ms)
{
    return system.channelSetPosition(slot, generation, ms);
}

bool Channel::isLive() const
{
    return system.channelLive(slot, generation);
}
