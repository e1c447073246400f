# Virus scanner service: ClamAV's library (Debian libclamav-dev).
add_service(ruvoavs avs libclamav)
