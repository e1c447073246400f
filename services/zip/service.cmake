add_service(qzmail2zip zip gmime-3.0 libzip)
